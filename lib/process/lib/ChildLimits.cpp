// Limits on the children that the pumps start: the limits in force, one child's
// watch, and the resource limits applied in the child.
#include "lib/process/lib/ChildLimits.h"

#include <cerrno>
#include <ctime>

namespace velka {

namespace {

ChildLimits limitsInForce;

long long nowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int setLimit(int resource, rlim_t bytes) {
    if (bytes == 0)
        return 0;
    const struct rlimit limit = {bytes, bytes};
    return setrlimit(resource, &limit);
}

} // namespace

ChildLimits setChildLimits(const ChildLimits &limits) {
    const ChildLimits earlier = limitsInForce;
    limitsInForce = limits;
    return earlier;
}

const ChildLimits &childLimits() {
    return limitsInForce;
}

ChildWatch::ChildWatch()
    : deadlineMs_(limitsInForce.timeLimitMs > 0 ? nowMs() + limitsInForce.timeLimitMs : 0) {}

int ChildWatch::pollTimeout(int idleMs) const {
    if (deadlineMs_ == 0)
        return idleMs;
    const long long left = deadlineMs_ - nowMs();
    const long long wait = left < 0 ? 0 : left;
    return idleMs >= 0 && idleMs < wait ? idleMs : static_cast<int>(wait);
}

int ChildWatch::endReason() const {
    if (limitsInForce.stopRequested != nullptr && limitsInForce.stopRequested())
        return ECANCELED;
    if (deadlineMs_ != 0 && nowMs() >= deadlineMs_)
        return ETIME;
    return 0;
}

int applyChildResourceLimits() {
    if (setLimit(RLIMIT_AS, limitsInForce.addressSpaceBytes) != 0)
        return -1;
    return setLimit(RLIMIT_FSIZE, limitsInForce.fileSizeBytes);
}

} // namespace velka
