#include "authcheck/report_output.h"

#include <cstdio>
#include <string>

namespace velka::authcheck {

namespace {

std::string jsonString(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

const char *overall(int exitStatus) {
    return exitStatus == 0 ? "ok" : exitStatus == 1 ? "warning" : "failure";
}

} // namespace

void printTable(std::ostream &out, const Results &results) {
    size_t width = 5;
    for (const CheckResult &r : results)
        width = std::max(width, r.id.size());
    for (const CheckResult &r : results) {
        std::string status = statusName(r.status);
        out << r.id << std::string(width + 2 - r.id.size(), ' ') << status
            << std::string(9 - status.size(), ' ') << r.message << '\n';
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
