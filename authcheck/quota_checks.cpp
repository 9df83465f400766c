// The quota warning wendra switches on: its script runs, as a user that exists.
#include "authcheck/checks.h"
#include "authcheck/doveconf.h"
#include "authcheck/files.h"
#include "authcheck/wendra_includes.h"

#include <pwd.h>
#include <sstream>

namespace velka::authcheck {

namespace {

const char QUOTA_WARNING_FILE[] = "20-velka-quota-warning.conf";

struct QuotaService {
    std::string executable, user;
};

// The service's settings as wendra writes them, for when doveconf cannot read
// the configuration: the first of each inside "service quota-warning {".
QuotaService fromWendraFile(const std::string &text) {
    QuotaService service;
    std::istringstream lines(text);
    std::string line;
    bool inside = false;
    while (std::getline(lines, line)) {
        const size_t indent = line.find_first_not_of(' ');
        const std::string trimmed = indent == std::string::npos ? "" : line.substr(indent);
        if (line == "service quota-warning {")
            inside = true;
        else if (inside && trimmed.rfind("executable = ", 0) == 0 && service.executable.empty())
            service.executable = trimmed.substr(13);
        else if (inside && trimmed.rfind("user = ", 0) == 0 && service.user.empty())
            service.user = trimmed.substr(7);
    }
    return service;
}

QuotaService fromDoveconf(const std::string &configFile) {
    return {doveconfValue(configFile, "service/quota-warning/executable"),
            doveconfValue(configFile, "service/quota-warning/user")};
}

CheckResult scriptCheck(const std::string &executable) {
    // "script PATH", as wendra writes it; the path is the first word after it.
    std::string path = executable;
    if (path.rfind("script ", 0) == 0)
        path = path.substr(7);
    path = path.substr(0, path.find(' '));
    struct stat st;
    if (auto error = lstatAs(path, S_IFREG, &st))
        return {"quota.script", Status::Failure, path + " is " + *error};
    if ((st.st_mode & 0111) != 0111)
        return {"quota.script", Status::Failure,
                path + " is not executable (" + describeAccess(st) + "): chmod 755 it"};
    return {"quota.script", Status::Ok, path + " is executable"};
}

CheckResult userCheck(const std::string &user) {
    if (user.empty() || getpwnam(user.c_str()) == nullptr)
        return {"quota.user", Status::Failure,
                "the quota warning's user '" + user + "' does not exist: create it"};
    return {"quota.user", Status::Ok, "runs as " + user};
}

} // namespace

void checkQuotaWarning(const Context &ctx, Results &results) {
    const std::string file = includeDir(ctx.configFile) + "/" + QUOTA_WARNING_FILE;
    struct stat st;
    if (lstat(file.c_str(), &st) != 0) {
        results.push_back({"quota.warning", Status::Ok, "quota warning off"});
        return;
    }
    const QuotaService service =
        ctx.configRead ? fromDoveconf(ctx.configFile)
                       : fromWendraFile(includeFilesText(ctx.configFile, QUOTA_WARNING_FILE));
    Results found = {scriptCheck(service.executable), userCheck(service.user)};
    for (CheckResult &r : found) {
        if (!ctx.configRead)
            r.message += " (from " + file + ": doveconf cannot read the configuration)";
        results.push_back(r);
    }
}

} // namespace velka::authcheck
