// Descriptor-level spawning: children on plain descriptors or pipes, output captured
// into heap buffers, and the waits that log how a child ended.
#include "lib/process/lib/fork_exec.h"

#include "lib/log/velka_log.h"
#include "lib/process/lib/ChildLimits.h"
#include "lib/process/lib/ChildSetup.h"
#include "lib/process/lib/exec_args.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <stdio_ext.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// How long fork_execv_getouterr waits for output before it looks whether the child
// has ended.
constexpr int OUTPUT_IDLE_MS = 1000;
// Under a time limit, a child whose output has ended is waited for in steps this long,
// so that one which goes on without output is still ended in time.
constexpr int ENDED_POLL_MS = 5;
// Capture buffers grow in steps of this size, then double; each read keeps at least
// MIN_FREE bytes of room.
constexpr size_t GROW_STEP = 4096;
constexpr size_t MIN_FREE = 2048;
// Chunks of a child's standard error relayed by fork_execv_fd.
constexpr size_t RELAY_CHUNK = 4096;

int chstatus;

struct Capture {
    int fd = -1;
    char *buf = nullptr;
    size_t len = 0;
    size_t cap = 0;
};

void closeCapture(Capture &c) {
    if (c.fd < 0)
        return;
    close(c.fd);
    c.fd = -1;
}

void read_to_buf(Capture &c) {
    if (c.cap - c.len < MIN_FREE) {
        if (c.cap > SIZE_MAX / 2)
            messlog2(1, 1, "Cannot allocate memory");
        const size_t cap = c.cap < GROW_STEP + 1 ? c.cap + GROW_STEP : c.cap * 2;
        char *grown = static_cast<char *>(realloc(c.buf, cap));
        if (!grown)
            messlog2(1, 1, "Cannot allocate memory");
        c.buf = grown;
        c.cap = cap;
    }
    const int savedErrno = errno;
    const ssize_t n = read(c.fd, c.buf + c.len, c.cap - c.len - 1);
    if (n > 0) {
        c.len += static_cast<size_t>(n);
        return;
    }
    if (n == 0) {
        closeCapture(c);
        return;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        errno = savedErrno;
        return;
    }
    closeCapture(c);
    fprintf(stderr, "fork_exec*: read(pipe) failed: %s\n", strerror(errno));
    errno = 0;
}

char *finishCapture(Capture &c) {
    if (c.buf)
        c.buf[c.len] = '\0';
    return c.buf;
}

int setNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags < 0 ? -1 : fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

pid_t waitInterrupted(pid_t pid, int *status, int options);

// The pump of fork_execv_getout (err null) and fork_execv_getouterr.
int captureRun(char **out, char **err, const char *path, char *const argv[]) {
    *out = nullptr;
    if (err)
        *err = nullptr;
    Capture captures[2];
    const int streams = err ? 2 : 1;
    int writeEnds[2] = {-1, -1};
    for (int i = 0; i < streams; ++i) {
        int p[2];
        if (pipe(p) != 0)
            messlog2(1, 1, "fork_execv_getouterr: pipe() failed");
        if (setNonBlocking(p[0]) != 0)
            messlog2(1, 1, "fork_execv_getouterr: fcntl(O_NONBLOCK) failed");
        captures[i].fd = p[0];
        writeEnds[i] = p[1];
    }
    const pid_t pid = fork_execv_pipes(0, writeEnds[0], err ? writeEnds[1] : 2, path, argv);
    for (int fd : writeEnds)
        if (fd >= 0)
            close(fd);

    int result = -1;
    int waitErrno = 0;
    const velka::ChildWatch watch;
    const bool watched =
        velka::childLimits().timeLimitMs > 0 || velka::childLimits().stopRequested != nullptr;
    for (;;) {
        if ((waitErrno = watch.endReason()) != 0) {
            // Past its time, or its caller is being stopped: what it printed so far
            // is kept for the report.
            kill(pid, SIGKILL);
            waitInterrupted(pid, nullptr, 0);
            closeCapture(captures[0]);
            closeCapture(captures[1]);
            break;
        }
        const bool outputEnded = captures[0].fd < 0 && captures[1].fd < 0;
        if (outputEnded && !watched) {
            int status;
            result = fork_exec_waitpid(pid, path, &status);
            if (result < 0)
                waitErrno = errno;
            break;
        }
        struct pollfd polled[2] = {{captures[0].fd, POLLIN, 0}, {captures[1].fd, POLLIN, 0}};
        errno = 0;
        if (poll(polled, 2, watch.pollTimeout(outputEnded ? ENDED_POLL_MS : OUTPUT_IDLE_MS)) > 0) {
            for (int i = 0; i < 2; ++i)
                if (polled[i].revents)
                    read_to_buf(captures[i]);
            continue;
        }
        // Quiet for a while: a child that has ended is done with, whoever may still
        // hold the pipes.
        errno = 0;
        int status = 0;
        const pid_t waited = waitpid(pid, &status, WNOHANG);
        if (waited == 0)
            continue;
        if (waited < 0)
            waitErrno = errno;
        result = waited < 0 || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
        closeCapture(captures[0]);
        closeCapture(captures[1]);
        break;
    }
    *out = finishCapture(captures[0]);
    if (err)
        *err = finishCapture(captures[1]);
    errno = waitErrno;
    return result;
}

// Ends a child that a wait found stopped, so that it is not left behind.
void reapStopped(pid_t pid) {
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

pid_t waitInterrupted(pid_t pid, int *status, int options) {
    pid_t r;
    do {
        errno = 0;
        r = waitpid(pid, status, options);
    } while (r < 0 && errno == EINTR);
    return r;
}

[[noreturn]] void execOrDie(const char *path, char *const argv[]) {
    execv(path, argv);
    fprintf(stderr, "fork_execv: execv(\"%s\") failed: %s\n", path, strerror(errno));
    _exit(255);
}

} // namespace

extern "C" {

int prepare_fds_to_exec(int in, int out, int err) {
    int fds[3] = {in, out, err};
    if (velka::liftStdSources(fds) != 0)
        return -1;
    for (int target = 0; target < 3; ++target) {
        int fd = fds[target];
        if (fd == target)
            continue;
        if (fd < 0) {
            fd = open("/dev/null", O_RDWR);
            if (fd < 0)
                return -1;
            if (fd == target)
                continue;
        }
        // Sources above 2 go with closefrom(); those below are overwritten in turn.
        if (dup2(fd, target) < 0)
            return -1;
    }
    closefrom(3);
    return 0;
}

pid_t fork_execv_pipes(int fd_in, int fd_out, int fd_err, const char *path, char *const argv[]) {
    const pid_t pid = fork();
    if (pid < 0)
        messlog2(1, 1, "fork_execv_pipes: fork() failed");
    if (pid > 0)
        return pid;
    __fpurge(stdout); // the parent's buffered text is not the child's to print
    if (prepare_fds_to_exec(fd_in, fd_out, fd_err) != 0) {
        fprintf(stderr, "fork_execv: dup() failed: %s\n", strerror(errno));
        _exit(255);
    }
    execOrDie(path, argv);
}

int fork_execv_getout(char **out, const char *path, char *const argv[]) {
    return captureRun(out, nullptr, path, argv);
}

int fork_execv_getouterr(char **out, char **err, const char *path, char *const argv[]) {
    return captureRun(out, err, path, argv);
}

int fork_execv_log(const char *path, char *const argv[], int quiet) {
    char *out = nullptr;
    char *err = nullptr;
    const int result = fork_execv_getouterr(&out, &err, path, argv);
    if (result != 0 && !quiet) {
        if (out && *out) {
            fputs(out, stderr);
            fflush(stderr);
        }
        if (err && *err)
            messlog2(0, 1, "%s execution failed:\n%s", path, err);
        else
            messlog2(0, 1, "%s execution failed (no output)", path);
    }
    free(out);
    free(err);
    return result;
}

int fork_exec_waitpid(pid_t pid, const char *name, int *status) {
    if (!name)
        name = "<unknown>";
    // 0 would wait for any child of the process group.
    if (pid <= 0) {
        velka_log(LOG_ERR, "fork before spawning '%s' failed", name);
        return -1;
    }
    int st = 0;
    const pid_t r = waitInterrupted(pid, &st, WUNTRACED);
    if (status)
        *status = st;
    if (r < 0) {
        const int e = errno;
        velka_log(LOG_ERR, "waitpid(%ld) for '%s' process failed: %s (%d)", static_cast<long>(pid),
                  name, strerror(e), e);
        errno = e;
        return -1;
    }
    if (r == 0) {
        velka_log(LOG_ERR, "waitpid(%ld) for '%s' process returned unexpected 0 code",
                  static_cast<long>(pid), name);
        return -1;
    }
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) {
        velka_log(LOG_WARNING, "waitpid(%ld)=%ld: process '%s' killed by signal %d",
                  static_cast<long>(pid), static_cast<long>(r), name, WTERMSIG(st));
    } else if (WIFSTOPPED(st)) {
        velka_log(LOG_WARNING, "waitpid(%ld)=%ld: process '%s' stopped by signal %d",
                  static_cast<long>(pid), static_cast<long>(r), name, WSTOPSIG(st));
        reapStopped(pid);
    } else if (WIFCONTINUED(st)) {
        velka_log(LOG_WARNING, "waitpid(%ld)=%ld: process '%s' continued", static_cast<long>(pid),
                  static_cast<long>(r), name);
    }
    return -1;
}

int fork_exec_getres(pid_t pid, const char *name) {
    if (pid == -1)
        return -1;
    return fork_exec_waitpid(pid, name, nullptr);
}

int fork_execv_fd(int fd_in, int fd_out, const char *path, char *const argv[]) {
    if (fd_in == 0 || fd_out == 1) {
        errno = 0;
        messlog2(0, 1, "values 0,1,2 not allowed for variables fd_in & fd_out\n");
        return -1;
    }
    int p[2];
    if (pipe(p) != 0)
        messlog2(1, 1, "fork_exec_fd pipe(): %s", strerror(errno));
    const pid_t pid = fork();
    if (pid < 0)
        messlog2(1, 1, "Error occured during fork():\n%s", strerror(errno));
    if (pid == 0) {
        __fpurge(stdout);
        if (prepare_fds_to_exec(fd_in, fd_out, p[1]) != 0) {
            fprintf(stderr, "fork_execv: dup() failed: %s\n", strerror(errno));
            _exit(255);
        }
        execv(path, argv);
        const int e = errno;
        fprintf(stderr, "Error occured during execv():\n%s%s", strerror(e),
                e == EFAULT ? ", possible reason - NULL parameter is absent in util_exec(path, "
                              "arg1, arg2, NULL) call.\n"
                            : ".\n");
        _exit(255);
    }
    close(p[1]);
    char chunk[RELAY_CHUNK];
    for (;;) {
        const ssize_t n = read(p[0], chunk, sizeof chunk - 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        chunk[n] = '\0';
        errno = 0;
        messlog2(0, 1, "%s", chunk);
    }
    close(p[0]);

    int status = 0;
    if (waitInterrupted(pid, &status, WUNTRACED) < 0) {
        messlog2(0, 1, "Error occured during waiting the child process with pid: %d: %s\n",
                 static_cast<int>(pid), strerror(errno));
        return -1;
    }
    errno = 0;
    if (WIFSIGNALED(status)) {
        messlog2(0, 1, "The child process with pid %d killed by signal %i\n", static_cast<int>(pid),
                 WTERMSIG(status));
        return -1;
    }
    if (WIFSTOPPED(status)) {
        messlog2(0, 1, "The child process with pid %d stopped by signal %i\n",
                 static_cast<int>(pid), WSTOPSIG(status));
        reapStopped(pid);
        return -1;
    }
    return WEXITSTATUS(status);
}

int do_exec(const char *path, char *const argv[]) {
    const pid_t pid = fork();
    if (pid < 0)
        messlog2(1, 1, "Unable to fork");
    if (pid == 0) {
        __fpurge(stdout);
        closefrom(3);
        execOrDie(path, argv);
    }
    int status = 0;
    chstatus = waitInterrupted(pid, &status, 0) < 0 ? -1 : status;
    return chstatus;
}

int fork_execv(const char *path, ...) {
    velka::FixedArgv fixed;
    va_list args;
    va_start(args, path);
    velka::collectFixedArgs(fixed, path, args);
    va_end(args);

    const pid_t pid = fork();
    if (pid < 0)
        messlog2(1, 1, "fork_execv: fork() failed");
    if (pid == 0) {
        __fpurge(stdout);
        if (prepare_fds_to_exec(-1, -1, -1) != 0)
            _exit(255);
        execv(path, fixed.argv);
        _exit(255);
    }
    // Only this child: another one's status is its own starter's to collect.
    int status = 0;
    if (waitInterrupted(pid, &status, 0) < 0)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // extern "C"
