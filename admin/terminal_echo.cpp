#include "admin/terminal_echo.h"

#include <csignal>

#include <termios.h>

namespace velka::admin {

namespace {

// The signal handler reaches the terminal only through these; one EchoOff
// exists at a time.
volatile sig_atomic_t echo_fd = -1;
struct termios saved_mode;
struct termios quiet_mode;

// Signals whose default action ends or stops the process with the terminal as
// it is.
const int SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGPIPE, SIGALRM,
                       SIGUSR1, SIGUSR2, SIGABRT, SIGSEGV, SIGBUS,  SIGFPE,
                       SIGILL,  SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT};
constexpr size_t SIGNAL_COUNT = sizeof(SIGNALS) / sizeof(SIGNALS[0]);
struct sigaction previous[SIGNAL_COUNT];

void restoreEcho() {
    if (echo_fd >= 0)
        tcsetattr(echo_fd, TCSANOW, &saved_mode);
}

// Async-signal-safe only: tcsetattr, sigaction, sigprocmask, raise.
void onSignal(int sig) {
    if (sig == SIGCONT) {
        if (echo_fd >= 0)
            tcsetattr(echo_fd, TCSANOW, &quiet_mode);
        return;
    }
    restoreEcho();
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, sig);
    raise(sig);
    // Delivered here: the process ends, or stops until it is continued.
    sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    action.sa_handler = onSignal;
    sigaction(sig, &action, nullptr);
}

void installHandlers() {
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < SIGNAL_COUNT; ++i)
        sigaction(SIGNALS[i], &action, &previous[i]);
}

void removeHandlers() {
    for (size_t i = 0; i < SIGNAL_COUNT; ++i)
        sigaction(SIGNALS[i], &previous[i], nullptr);
}

} // namespace

EchoOff::EchoOff(int fd) {
    if (tcgetattr(fd, &saved_mode) != 0)
        return;
    quiet_mode = saved_mode;
    quiet_mode.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
    // The handlers are in place before the echo goes, so that no signal can
    // fall between the two.
    echo_fd = fd;
    installHandlers();
    if (tcsetattr(fd, TCSAFLUSH, &quiet_mode) != 0) {
        removeHandlers();
        echo_fd = -1;
        return;
    }
    ok_ = true;
}

EchoOff::~EchoOff() {
    if (!ok_)
        return;
    restoreEcho();
    removeHandlers();
    echo_fd = -1;
}

} // namespace velka::admin
