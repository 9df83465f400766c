// One line of the report: what was checked, how it went, and what to do.
#ifndef VELKA_AUTHCHECK_CHECK_RESULT_H
#define VELKA_AUTHCHECK_CHECK_RESULT_H

#include <string>
#include <vector>

namespace velka::authcheck {

// Ordered by severity; "skipped" means a check could not run because one it
// depends on failed, and does not count against the exit status.
enum class Status { Ok, Skipped, Warning, Failure };

struct CheckResult {
    std::string id; // stable name, such as "database.open"
    Status status;
    std::string message; // what was found and, when not ok, what to do
};

using Results = std::vector<CheckResult>;

const char *statusName(Status status);
bool parseStatus(const std::string &name, Status *status);
// 0 when nothing is worse than skipped, 1 for a warning, 2 for a failure.
int exitStatusOf(const Results &results);

} // namespace velka::authcheck

#endif
