// Runs a program for a check: standard input /dev/null, output and errors
// captured through pipes, nothing else of this root process handed on, and a
// time limit, so that no file a setting names (a FIFO, say) can make the check
// wait for ever.
#include "authcheck/run_program.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace velka::authcheck {

namespace {

using Clock = std::chrono::steady_clock;

// The descriptors that become the program's standard streams; each is above 2, so
// that moving them onto 0 to 2 in the child cannot overwrite one still to be moved.
struct Streams {
    int in = -1, outRead = -1, outWrite = -1, errRead = -1, errWrite = -1;
    ~Streams() {
        for (int fd : {in, outRead, outWrite, errRead, errWrite})
            if (fd >= 0)
                close(fd);
    }
};

int aboveStandardStreams(int fd) {
    if (fd < 0 || fd > 2)
        return fd;
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int saved = errno;
    close(fd);
    errno = saved;
    return high;
}

bool openPipe(int *readEnd, int *writeEnd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    *readEnd = aboveStandardStreams(fds[0]);
    *writeEnd = aboveStandardStreams(fds[1]);
    return *readEnd >= 0 && *writeEnd >= 0;
}

bool openStreams(Streams *s) {
    s->in = aboveStandardStreams(open("/dev/null", O_RDONLY | O_CLOEXEC));
    return s->in >= 0 && openPipe(&s->outRead, &s->outWrite) && openPipe(&s->errRead, &s->errWrite);
}

void say(const std::string &text) {
    (void)!write(2, text.data(), text.size());
}

// Only async-signal-safe calls but for the message of a failed exec.
[[noreturn]] void execChild(const std::vector<char *> &args, const Streams &s) {
    // Its own process group, so that the time limit ends what it starts as well.
    setpgid(0, 0);
    if (dup2(s.in, 0) < 0 || dup2(s.outWrite, 1) < 0 || dup2(s.errWrite, 2) < 0)
        _exit(127);
    closefrom(3);
    execv(args[0], args.data());
    say(std::string("cannot run ") + args[0] + ": " + std::strerror(errno) + "\n");
    _exit(127);
}

std::string limitText(const std::string &program, std::chrono::milliseconds limit) {
    const auto ms = limit.count();
    return program + " did not finish within " +
           (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms");
}

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(left.count(), INT_MAX)));
}

// Reads both pipes to their end; false when the deadline comes first.
bool drain(const Streams &s, Clock::time_point deadline, ProgramOutput *result) {
    struct pollfd fds[2] = {{s.outRead, POLLIN, 0}, {s.errRead, POLLIN, 0}};
    std::string *targets[2] = {&result->out, &result->err};
    int open = 2;
    while (open > 0) {
        const int wait = millisecondsUntil(deadline);
        if (wait == 0)
            return false;
        if (poll(fds, 2, wait) < 0) {
            if (errno == EINTR)
                continue;
            result->failure = std::string("poll: ") + std::strerror(errno);
            return false;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                targets[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    return true;
}

enum class Reaped { Ended, Killed, Lost };

// Waits for the program to end until the deadline, then kills its process group.
Reaped reap(pid_t pid, Clock::time_point deadline, int *status) {
    const struct timespec pause = {0, 10 * 1000 * 1000};
    while (Clock::now() < deadline) {
        const pid_t done = waitpid(pid, status, WNOHANG);
        if (done == pid)
            return Reaped::Ended;
        if (done < 0 && errno != EINTR)
            return Reaped::Lost;
        nanosleep(&pause, nullptr);
    }
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
    return Reaped::Killed;
}

} // namespace

ProgramOutput runProgram(const std::vector<std::string> &argv, std::chrono::milliseconds limit) {
    ProgramOutput result;
    const std::string &program = argv.at(0);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    Streams streams;
    if (!openStreams(&streams)) {
        result.failure = "cannot start " + program + ": " + std::strerror(errno);
        return result;
    }
    const Clock::time_point deadline = Clock::now() + limit;
    const pid_t pid = fork();
    if (pid < 0) {
        result.failure = "cannot start " + program + ": fork: " + std::strerror(errno);
        return result;
    }
    if (pid == 0)
        execChild(args, streams);
    close(streams.outWrite);
    close(streams.errWrite);
    streams.outWrite = streams.errWrite = -1;

    const bool drained = drain(streams, deadline, &result);
    int status = 0;
    const Reaped reaped = reap(pid, drained ? deadline : Clock::now(), &status);
    if (!result.failure.empty())
        return result;
    if (reaped == Reaped::Killed)
        result.failure = limitText(program, limit);
    else if (reaped == Reaped::Lost)
        result.failure = "waitpid for " + program + ": " + std::strerror(errno);
    else if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else
        result.failure = program + " was killed by signal " + std::to_string(WTERMSIG(status));
    return result;
}

} // namespace velka::authcheck
