// Stop signals recorded while the configuration changes, and the child limits that end
// a running doveconf when one arrives.
#include "dovecot/stop_signals.h"

#include "lib/process/lib/ChildLimits.h"

#include <csignal>
#include <cstring>

namespace velka::mail::dovecot {

namespace {

const int STOP_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};

volatile sig_atomic_t recordedSignal = 0;
bool caught = false;
bool deferred = false;

extern "C" void recordSignal(int signo) {
    recordedSignal = signo;
}

bool stopRequested() {
    return recordedSignal != 0 && !deferred;
}

void setAction(void (*handler)(int)) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait in progress must wake up and look at the signal.
    for (int signo : STOP_SIGNALS)
        sigaction(signo, &action, nullptr);
}

} // namespace

void catchStopSignals() {
    if (caught)
        return;
    caught = true;
    setAction(recordSignal);
    ChildLimits limits = childLimits();
    limits.stopRequested = stopRequested;
    setChildLimits(limits);
}

int pendingStopSignal() {
    return recordedSignal;
}

void deferStopSignals(bool defer) {
    deferred = defer;
}

void releaseStopSignals() {
    if (!caught)
        return;
    caught = false;
    deferred = false;
    ChildLimits limits = childLimits();
    limits.stopRequested = nullptr;
    setChildLimits(limits);
    setAction(SIG_DFL);
    const int signo = recordedSignal;
    recordedSignal = 0;
    if (signo != 0)
        raise(signo);
}

} // namespace velka::mail::dovecot
