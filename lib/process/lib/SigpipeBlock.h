// SigpipeBlock: keeps SIGPIPE from ending the process while it writes to a child.
#ifndef VELKA_PROCESS_LIB_SIGPIPEBLOCK_H
#define VELKA_PROCESS_LIB_SIGPIPEBLOCK_H

#include <cerrno>
#include <csignal>
#include <ctime>

namespace velka {

// A child may close its input at any time; while a SigpipeBlock lives, writing to it
// then fails with EPIPE instead of killing the writer. A SIGPIPE raised meanwhile is
// taken back before the signal mask is restored. Children started while one lives
// inherit the mask, so none should be.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigemptyset(&pipeSet);
        sigaddset(&pipeSet, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        wasPending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipeSet, &oldMask);
    }
    ~SigpipeBlock() {
        const int savedErrno = errno;
        if (!wasPending) {
            const struct timespec zero = {0, 0};
            while (sigtimedwait(&pipeSet, nullptr, &zero) == SIGPIPE || errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
        errno = savedErrno;
    }
    SigpipeBlock(const SigpipeBlock &) = delete;
    SigpipeBlock &operator=(const SigpipeBlock &) = delete;

private:
    sigset_t pipeSet;
    sigset_t oldMask;
    bool wasPending;
};

} // namespace velka

#endif
