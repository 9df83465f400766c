#include "authcheck/report_output.h"

#include "authcheck/display_text.h"

#include <string>

namespace velka::authcheck {

namespace {

const char *overall(int exitStatus) {
    return exitStatus == 0 ? "ok" : exitStatus == 1 ? "warning" : "failure";
}

} // namespace

void printTable(std::ostream &out, const Results &results) {
    std::vector<std::string> ids;
    size_t width = 5;
    for (const CheckResult &r : results) {
        ids.push_back(terminalText(r.id));
        width = std::max(width, ids.back().size());
    }
    for (size_t i = 0; i < results.size(); ++i) {
        const std::string status = statusName(results[i].status);
        out << ids[i] << std::string(width + 2 - ids[i].size(), ' ') << status
            << std::string(9 - status.size(), ' ') << terminalText(results[i].message) << '\n';
    }
    out << "result: " << overall(exitStatusOf(results)) << '\n';
}

void printJson(std::ostream &out, const Results &results) {
    out << "{\"status\": " << jsonString(overall(exitStatusOf(results))) << ", \"checks\": [";
    const char *separator = "\n  ";
    for (const CheckResult &r : results) {
        out << separator << "{\"id\": " << jsonString(r.id)
            << ", \"status\": " << jsonString(statusName(r.status))
            << ", \"message\": " << jsonString(r.message) << "}";
        separator = ",\n  ";
    }
    out << "\n]}\n";
}

} // namespace velka::authcheck
