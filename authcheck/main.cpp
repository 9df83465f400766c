// velka-auth-check: checks everything the velka passdb plug-in and wendra depend
// on and says, one line per check, what is wrong and what to do.
#include "authcheck/checks.h"
#include "authcheck/report_output.h"
#include "lib/log/velka_log.h"

#include <cstring>
#include <iostream>
#include <syslog.h>
#include <unistd.h>

namespace {

using namespace velka::authcheck;

const char USAGE[] =
    "usage: velka-auth-check [-c FILE] [--user ADDRESS] [--json]\n"
    "  -c FILE          Dovecot's main configuration (default /etc/dovecot/dovecot.conf)\n"
    "  --user ADDRESS   also show what a login of ADDRESS would find\n"
    "  --json           one JSON document instead of the table\n"
    "Exit status: 0 all good, 1 a warning, 2 a failure.\n";

struct Options {
    std::string configFile = "/etc/dovecot/dovecot.conf";
    std::string user;
    bool json = false;
};

bool parseOptions(int argc, char **argv, Options *options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "-c" || arg == "--config" || arg == "--user") && i + 1 < argc)
            (arg == "--user" ? options->user : options->configFile) = argv[++i];
        else if (arg.rfind("--config=", 0) == 0)
            options->configFile = arg.substr(9);
        else if (arg.rfind("--user=", 0) == 0)
            options->user = arg.substr(7);
        else if (arg == "--json")
            options->json = true;
        else
            return false;
    }
    return true;
}

bool lacks(const Results &results, const char *id) {
    for (const CheckResult &r : results)
        if (r.id == id)
            return r.status == Status::Failure;
    return false;
}

void skip(Results &results, std::initializer_list<const char *> ids, const char *why) {
    for (const char *id : ids)
        results.push_back({id, Status::Skipped, why});
}

// Why the checks that need the velka passdb's settings cannot run; null when
// they can.
const char *settingsUnknown(const Context &ctx) {
    if (!ctx.configRead)
        return "configuration not readable";
    return ctx.passdbName.empty() ? "no velka passdb configured" : nullptr;
}

// Each check runs only when what it reads is known; the rest are skipped, with
// the reason, so that one fault shows as one failure and no row vanishes.
Results runChecks(const Options &options) {
    Context ctx;
    ctx.configFile = options.configFile;
    Results results;
    checkModules(results);
    checkDovecotConfig(ctx, results, !lacks(results, "module.settings_library"));
    checkCertificates(ctx, results);
    checkQuotaWarning(ctx, results);
    const char *unknown = settingsUnknown(ctx);
    if (!ctx.configRead || !unknown)
        checkMaildirRoot(ctx, results);
    if (unknown) {
        skip(results, {"layout", "database.file", "key.file", "database.open"}, unknown);
        if (!options.user.empty())
            skip(results, {"user.account"}, unknown);
        return results;
    }
    checkLayout(ctx, results);
    if (!ctx.layoutKnown()) {
        skip(results, {"database.file", "key.file", "database.open"}, "layout unknown");
        if (!options.user.empty())
            skip(results, {"user.account"}, "layout unknown");
        return results;
    }
    checkDatabaseFile(ctx, results);
    checkKeyFile(ctx, results);
    if (lacks(results, "database.file") && access(ctx.databasePath.c_str(), F_OK) != 0)
        skip(results,
             {"database.open", "database.integrity", "database.schema", "database.crypt",
              "key.decrypt"},
             "database missing");
    else
        checkDatabaseAsLookupUser(ctx, results);
    if (!options.user.empty())
        reportUser(ctx, options.user, results);
    return results;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (argc > 1 && (!std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help"))) {
        std::cout << USAGE;
        return 0;
    }
    if (!parseOptions(argc, argv, &options)) {
        std::cerr << USAGE;
        return 2;
    }
    if (geteuid() != 0) {
        std::cerr << "velka-auth-check: must run as root\n";
        return 2;
    }
    // The library's own messages go to syslog, not into the report.
    velka_log_init(nullptr, LOG_INFO, LOG_MAIL, 0, "velka-auth-check");
    Results results = runChecks(options);
    if (options.json)
        printJson(std::cout, results);
    else
        printTable(std::cout, results);
    return exitStatusOf(results);
}
