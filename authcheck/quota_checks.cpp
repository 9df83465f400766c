// The quota warning wendra switches on: its script runs, as a user that exists.
#include "authcheck/checks.h"
#include "authcheck/doveconf.h"
#include "authcheck/files.h"

#include <libgen.h>
#include <pwd.h>

namespace velka::authcheck {

namespace {

std::string quotaWarningFile(const std::string &configFile) {
    std::string copy = configFile;
    return std::string(dirname(copy.data())) + "/conf.d/20-velka-quota-warning.conf";
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

} // namespace

void checkQuotaWarning(const Context &ctx, Results &results) {
    struct stat st;
    if (lstat(quotaWarningFile(ctx.configFile).c_str(), &st) != 0) {
        results.push_back({"quota.warning", Status::Ok, "quota warning off"});
        return;
    }
    results.push_back(
        scriptCheck(doveconfValue(ctx.configFile, "service/quota-warning/executable")));
    const std::string user = doveconfValue(ctx.configFile, "service/quota-warning/user");
    if (user.empty() || getpwnam(user.c_str()) == nullptr)
        results.push_back({"quota.user", Status::Failure,
                           "the quota warning's user '" + user + "' does not exist: create it"});
    else
        results.push_back({"quota.user", Status::Ok, "runs as " + user});
}

} // namespace velka::authcheck
