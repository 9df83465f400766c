#include "authcheck/check_result.h"

namespace velka::authcheck {

namespace {
const char *const NAMES[] = {"ok", "skipped", "warning", "failure"};
}

const char *statusName(Status status) {
    return NAMES[static_cast<int>(status)];
}

bool parseStatus(const std::string &name, Status *status) {
    for (int i = 0; i < 4; ++i) {
        if (name == NAMES[i]) {
            *status = static_cast<Status>(i);
            return true;
        }
    }
    return false;
}

int exitStatusOf(const Results &results) {
    int worst = 0;
    for (const CheckResult &r : results) {
        if (r.status == Status::Failure)
            worst = 2;
        else if (r.status == Status::Warning && worst < 1)
            worst = 1;
    }
    return worst;
}

} // namespace velka::authcheck
