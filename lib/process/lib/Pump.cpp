// The stream pump: one child, its three standard streams on pipes, all serviced by one
// poll loop so that neither side can block the other.
#include "lib/process/lib/Pump.h"

#include "lib/errors/SystemError.h"
#include "lib/errors/reportException.h"
#include "lib/log/UtilityErrorStream.h"
#include "lib/log/velka_log.h"
#include "lib/process/lib/ChildLimits.h"
#include "lib/process/lib/ChildSetup.h"
#include "lib/process/lib/SigpipeBlock.h"
#include "lib/util/user_lookup.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <ostream>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <stdio_ext.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

// Buffer size of each stream in the string forms.
constexpr size_t STRING_FORM_BUFFER_SIZE = 4096;
// How long a child that was sent SIGTERM after a failed run may take to end.
constexpr int TERM_GRACE_STEPS = 200;
constexpr long TERM_GRACE_STEP_NS = 10 * 1000 * 1000;

const EnvMap &emptyenv() {
    static const EnvMap env;
    return env;
}

struct StringInOut {
    const std::string *input;
    size_t offset;
    std::string *out;
    std::string *err;
};

size_t stdinWriter(char *buf, size_t size, void *context) {
    auto *io = static_cast<StringInOut *>(context);
    const size_t n = std::min(size, io->input->size() - io->offset);
    std::memcpy(buf, io->input->data() + io->offset, n);
    io->offset += n;
    return n;
}

void stdoutReader(const char *data, size_t length, void *context) {
    static_cast<StringInOut *>(context)->out->append(data, length);
}

void stderrReader(const char *data, size_t length, void *context) {
    static_cast<StringInOut *>(context)->err->append(data, length);
}

void closeFd(int &fd) {
    if (fd < 0)
        return;
    close(fd);
    fd = -1;
}

int setNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags < 0 ? -1 : fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// Writes what the writer supplies until the pipe is full. pending counts bytes still
// in buf from an earlier pass. False: the input is finished or the child closed it.
bool writeFromCallback(int fd, char *buf, size_t size, size_t &pending, StdinWriter writer,
                       void *context, int &lastError) {
    velka::SigpipeBlock block;
    for (;;) {
        if (pending == 0) {
            pending = std::min(writer(buf, size, context), size);
            if (pending == 0)
                return false;
        }
        const ssize_t n = write(fd, buf, pending);
        if (n >= 0) {
            pending -= static_cast<size_t>(n);
            std::memmove(buf, buf + n, pending);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return true;
        if (errno == EPIPE) {
            lastError = EPIPE;
            return false;
        }
        velka::throwSystemError("writeFromCallback failed", errno);
    }
}

// Reads until the pipe is empty. False: end of stream.
bool readToCallback(int fd, OutputReader reader, void *context, char *buf, size_t size) {
    for (;;) {
        const ssize_t n = read(fd, buf, size);
        if (n > 0) {
            if (reader)
                reader(buf, static_cast<size_t>(n), context);
            continue;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return true;
        velka::throwSystemError("readToCallback failed", errno);
    }
}

pid_t waitChild(pid_t pid, int *status) {
    pid_t r;
    while ((r = waitpid(pid, status, 0)) < 0 && errno == EINTR) {
    }
    return r;
}

// Reaps a child that was sent SIGTERM; one that ignores it gets SIGKILL after a grace
// period, so that a failed run cannot hang.
pid_t reapTerminated(pid_t pid, int *status) {
    const struct timespec step = {0, TERM_GRACE_STEP_NS};
    for (int i = 0; i < TERM_GRACE_STEPS; ++i) {
        const pid_t r = waitpid(pid, status, WNOHANG);
        if (r != 0 && !(r < 0 && errno == EINTR))
            return r;
        nanosleep(&step, nullptr);
    }
    kill(pid, SIGKILL);
    return waitChild(pid, status);
}

// Waits for a child whose output has ended; under a time limit or a stop request it is
// killed when the watch says so, and its end reason is returned in reason.
pid_t waitWatched(pid_t pid, int *status, const velka::ChildWatch &watch, int &reason) {
    if (velka::childLimits().timeLimitMs == 0 && velka::childLimits().stopRequested == nullptr)
        return waitChild(pid, status);
    const struct timespec step = {0, TERM_GRACE_STEP_NS / 2};
    for (;;) {
        const pid_t r = waitpid(pid, status, WNOHANG);
        if (r != 0 && !(r < 0 && errno == EINTR))
            return r;
        if ((reason = watch.endReason()) != 0) {
            kill(pid, SIGKILL);
            return waitChild(pid, status);
        }
        nanosleep(&step, nullptr);
    }
}

[[noreturn]] void runChild(int in, int out, int err, const std::string &path, const ArgList &args,
                           const std::string &user, bool chdirHome, const EnvMap &env) {
    // Text the parent has buffered is the parent's to print, not this child's.
    __fpurge(stdout);
    try {
        int fds[3] = {in, out, err};
        if (velka::liftStdSources(fds) != 0)
            velka::throwSystemError("dup2Custom failed", errno);
        dup2Custom(fds[0], 0);
        dup2Custom(fds[1], 1);
        dup2Custom(fds[2], 2);
        closefrom(3);
        if (velka::applyChildResourceLimits() != 0)
            velka::throwSystemError("forkExecvPipes: setrlimit() failed", errno);
        if (!user.empty() && velka_ugid(user.c_str(), 0) != 0 &&
            velka::switchUser(user.c_str(), chdirHome ? P_SETUID_CHDIR_HOME : 0) != 0)
            _exit(1);
        for (const auto &entry : env)
            if (setenv(entry.first.c_str(), entry.second.c_str(), 1) != 0)
                velka::throwSystemError("forkExecvPipes: setenv() falied", errno);
        execvp(path.c_str(), args.argv());
        messlog2(0, 1, "forkExecvPipes: execv() failed: %s\n", std::strerror(errno));
        _exit(1);
    } catch (const std::exception &e) {
        // Reported as the program's own top level would, but the child must not
        // unwind into its caller's code.
        velka::reportException(e);
        _exit(1);
    } catch (...) {
        velka::uerr << "UNSPECIFIED ERROR OCCURED" << std::endl;
        _exit(2);
    }
}

} // namespace

pid_t forkExecvPipes(int in, int out, int err, const std::string &path, const ArgList &args,
                     const std::string &user, bool chdirHome, const EnvMap &env) {
    const pid_t pid = fork();
    if (pid < 0)
        velka::throwSystemError("forkExecvPipes: fork() failed", errno);
    if (pid == 0)
        runChild(in, out, err, path, args, user, chdirHome, env);
    return pid;
}

int forkExecvGetInOutErrSuidEnv(StdinWriter writer, OutputReader outReader, OutputReader errReader,
                                const std::string &path, const ArgList &args,
                                const std::string &user, bool chdirHome, const EnvMap &env,
                                void *context, size_t inBufferSize, size_t outBufferSize,
                                size_t errBufferSize) {
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe(inPipe) != 0 || pipe(outPipe) != 0 || pipe(errPipe) != 0)
        messlog2(1, 1, "forkExecvGetOutErr: pipe() failed");
    if (setNonBlocking(inPipe[1]) != 0 || setNonBlocking(outPipe[0]) != 0 ||
        setNonBlocking(errPipe[0]) != 0)
        messlog2(1, 1, "forkExecvGetOutErr: fcntl(O_NONBLOCK) failed");

    int fds[3] = {inPipe[1], outPipe[0], errPipe[0]};
    pid_t pid;
    try {
        pid = forkExecvPipes(inPipe[0], outPipe[1], errPipe[1], path, args, user, chdirHome, env);
    } catch (...) {
        for (int *p : {inPipe, outPipe, errPipe}) {
            close(p[0]);
            close(p[1]);
        }
        throw;
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);

    int lastError = 0;
    int endReason = 0;
    const velka::ChildWatch watch;
    std::exception_ptr failure;
    try {
        std::vector<char> inBuf(inBufferSize ? inBufferSize : STRING_FORM_BUFFER_SIZE);
        std::vector<char> outBuf(outBufferSize ? outBufferSize : STRING_FORM_BUFFER_SIZE);
        std::vector<char> errBuf(errBufferSize ? errBufferSize : STRING_FORM_BUFFER_SIZE);
        size_t pending = 0;
        if (!writer)
            closeFd(fds[0]);
        while (fds[0] >= 0 || fds[1] >= 0 || fds[2] >= 0) {
            struct pollfd polled[3] = {
                {fds[0], POLLOUT, 0}, {fds[1], POLLIN, 0}, {fds[2], POLLIN, 0}};
            const int ready = poll(polled, 3, watch.pollTimeout(-1));
            if ((endReason = watch.endReason()) != 0) {
                kill(pid, SIGKILL);
                for (int &fd : fds)
                    closeFd(fd);
                break;
            }
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                velka::throwSystemError("forkExecvGetOutErr: select() failed", errno);
            }
            if (polled[0].revents && !writeFromCallback(fds[0], inBuf.data(), inBuf.size(), pending,
                                                        writer, context, lastError))
                closeFd(fds[0]);
            if (polled[1].revents &&
                !readToCallback(fds[1], outReader, context, outBuf.data(), outBuf.size()))
                closeFd(fds[1]);
            if (polled[2].revents &&
                !readToCallback(fds[2], errReader, context, errBuf.data(), errBuf.size()))
                closeFd(fds[2]);
        }
    } catch (...) {
        failure = std::current_exception();
        kill(pid, SIGTERM);
        for (int &fd : fds)
            closeFd(fd);
    }

    int status = 0;
    const pid_t waited = failure          ? reapTerminated(pid, &status)
                         : endReason != 0 ? waitChild(pid, &status)
                                          : waitWatched(pid, &status, watch, endReason);
    if (waited < 0)
        lastError = errno; // ECHILD: reaped elsewhere, e.g. with SIGCHLD ignored
    if (failure)
        std::rethrow_exception(failure);
    errno = endReason != 0 ? endReason : lastError;
    if (waited <= 0 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

int forkExecvGetInOutErrSuidEnv(const std::string &input, std::string &out, std::string &err,
                                const std::string &path, const ArgList &args,
                                const std::string &user, bool chdirHome, const EnvMap &env) {
    StringInOut io{&input, 0, &out, &err};
    return forkExecvGetInOutErrSuidEnv(stdinWriter, stdoutReader, stderrReader, path, args, user,
                                       chdirHome, env, &io, STRING_FORM_BUFFER_SIZE,
                                       STRING_FORM_BUFFER_SIZE, STRING_FORM_BUFFER_SIZE);
}

int forkExecvGetOutErrSuidEnv(std::string &out, std::string &err, const std::string &path,
                              const ArgList &args, const std::string &user, bool chdirHome,
                              const EnvMap &env) {
    return forkExecvGetInOutErrSuidEnv(std::string(), out, err, path, args, user, chdirHome, env);
}

int forkExecvGetOutErrSuid(std::string &out, std::string &err, const std::string &path,
                           const ArgList &args, const std::string &user, bool chdirHome) {
    return forkExecvGetOutErrSuidEnv(out, err, path, args, user, chdirHome, emptyenv());
}

int forkExecvGetOutErr(std::string &out, std::string &err, const std::string &path,
                       const ArgList &args) {
    return forkExecvGetOutErrSuid(out, err, path, args, std::string(), true);
}

int forkExecvGetOut(std::string &out, const std::string &path, const ArgList &args) {
    const std::string input;
    StringInOut io{&input, 0, &out, nullptr};
    return forkExecvGetInOutErrSuidEnv(
        stdinWriter, stdoutReader, nullptr, path, args, std::string(), true, emptyenv(), &io,
        STRING_FORM_BUFFER_SIZE, STRING_FORM_BUFFER_SIZE, STRING_FORM_BUFFER_SIZE);
}

int forkExecvGetOutErrSuidEnv(std::string &out, std::string &err,
                              const std::vector<std::string> &argv, const std::string &user,
                              bool chdirHome, const EnvMap &env) {
    const std::string &path = argv.at(0);
    ArgList args;
    for (const std::string &arg : argv)
        args.add(arg);
    return forkExecvGetOutErrSuidEnv(out, err, path, args, user, chdirHome, env);
}

int forkExecvGetOutErr(std::string &out, std::string &err, const std::vector<std::string> &argv) {
    return forkExecvGetOutErrSuidEnv(out, err, argv, std::string(), false, emptyenv());
}
