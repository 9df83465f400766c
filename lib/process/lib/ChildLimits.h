// Limits on the children that the pumps start, for programs that must never wait for
// ever on one: a time limit, a question asked at every wake-up whether the caller wants
// the child ended now (a signal arrived, say), and resource limits for the child.
//
// The limits belong to the process and apply to every child started while they are in
// force; nothing is limited until a caller sets them. A child that passes its time
// limit or that the caller wants ended gets SIGKILL (a program stuck on a file can
// ignore SIGTERM) and its run ends as one killed by a signal (-1), with errno ETIME or
// ECANCELED.
#ifndef VELKA_PROCESS_LIB_CHILDLIMITS_H
#define VELKA_PROCESS_LIB_CHILDLIMITS_H

#include <sys/resource.h>

namespace velka {

struct ChildLimits {
    int timeLimitMs = 0;               // 0: none
    bool (*stopRequested)() = nullptr; // true: end the child now; may be null
    // Applied by the stream pump (ExecCmd) in its children; 0: inherited.
    rlim_t addressSpaceBytes = 0; // RLIMIT_AS
    rlim_t fileSizeBytes = 0;     // RLIMIT_FSIZE
};

// The limits in force; returns the ones they replace.
ChildLimits setChildLimits(const ChildLimits &limits);
const ChildLimits &childLimits();

// Sets limits for the lifetime of the object, then puts the earlier ones back.
class ScopedChildLimits {
public:
    explicit ScopedChildLimits(const ChildLimits &limits) : saved_(setChildLimits(limits)) {}
    ~ScopedChildLimits() { setChildLimits(saved_); }
    ScopedChildLimits(const ScopedChildLimits &) = delete;
    ScopedChildLimits &operator=(const ScopedChildLimits &) = delete;

private:
    ChildLimits saved_;
};

// One child's watch, started when the child is: how long a wait may block, and whether
// the child must be ended now (and why, as an errno value: ETIME or ECANCELED).
class ChildWatch {
public:
    ChildWatch();
    // idleMs, shortened to the time left; -1 (for ever) when neither limits.
    int pollTimeout(int idleMs) const;
    // 0 while the child may go on; otherwise the reason to end it.
    int endReason() const;

private:
    long long deadlineMs_; // 0: none
};

// In a child before exec: applies the resource limits in force. 0, or -1 with errno.
int applyChildResourceLimits();

} // namespace velka

#endif
