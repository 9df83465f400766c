// doveconf accepts the configuration, a passdb uses the driver, and its
// settings as Dovecot reads them.
#include "authcheck/checks.h"
#include "authcheck/doveconf.h"

#include <sstream>

namespace velka::authcheck {

namespace {

std::string firstLine(const std::string &text) {
    std::string line = text.substr(0, text.find('\n'));
    return line.empty() ? "no message" : line;
}

// The name of the first top-level passdb block whose driver is velka.
std::string velkaPassdb(const std::string &config) {
    std::istringstream lines(config);
    std::string line, name;
    int depth = 0;
    while (std::getline(lines, line)) {
        if (depth == 0 && line.rfind("passdb ", 0) == 0 && line.size() > 9 &&
            line.compare(line.size() - 2, 2, " {") == 0)
            name = line.substr(7, line.size() - 9);
        if (depth == 1 && !name.empty() && line == "  driver = velka")
            return name;
        if (!line.empty() && line.back() == '{')
            ++depth;
        else if (line.find_first_not_of(' ') != std::string::npos &&
                 line[line.find_first_not_of(' ')] == '}' && --depth == 0)
            name.clear();
    }
    return "";
}

void readPassdbSettings(Context &ctx) {
    const std::string prefix = "passdb/" + ctx.passdbName + "/";
    ctx.smtpServer = doveconfValue(ctx.configFile, prefix + "velka_smtp_server");
    ctx.useWorker = doveconfValue(ctx.configFile, prefix + "use_worker") == "yes";
    ctx.maildirCheck = doveconfValue(ctx.configFile, prefix + "velka_allow_maildir_stat") != "no";
    ctx.shortNames = doveconfValue(ctx.configFile, prefix + "velka_allow_shortnames") == "yes";
}

} // namespace

void checkDovecotConfig(Context &ctx, Results &results, bool settingsLibraryPresent) {
    // -P: newer releases hide the key file's path otherwise. The text stays
    // in memory and only paths are taken from it.
    ProgramOutput out = doveconf(ctx.configFile, {"-n", "-P"});
    if (out.status != 0) {
        if (!settingsLibraryPresent)
            results.push_back({"config.doveconf", Status::Skipped,
                               "doveconf cannot read the velka settings without the settings "
                               "library"});
        else if (!out.failure.empty())
            results.push_back({"config.doveconf", Status::Failure,
                               "doveconf -n cannot read " + ctx.configFile + ": " + out.failure +
                                   " (does a setting name a FIFO or a device?)"});
        else
            results.push_back(
                {"config.doveconf", Status::Failure,
                 "doveconf -n refuses " + ctx.configFile + ": " + firstLine(out.err)});
        results.push_back({"config.passdb", Status::Skipped, "configuration not readable"});
        return;
    }
    ctx.configRead = true;
    ctx.configText = out.out;
    results.push_back({"config.doveconf", Status::Ok, "doveconf -n accepts " + ctx.configFile});

    ctx.passdbName = velkaPassdb(out.out);
    if (ctx.passdbName.empty()) {
        results.push_back({"config.passdb", Status::Failure,
                           "no passdb with driver = velka: add one (see the administrator's "
                           "guide, section 3)"});
        return;
    }
    readPassdbSettings(ctx);
    results.push_back({"config.passdb", Status::Ok,
                       "passdb " + ctx.passdbName + ": velka_smtp_server=" +
                           (ctx.smtpServer.empty() ? "(empty)" : ctx.smtpServer) +
                           " use_worker=" + (ctx.useWorker ? "yes" : "no") +
                           " velka_allow_maildir_stat=" + (ctx.maildirCheck ? "yes" : "no") +
                           " velka_allow_shortnames=" + (ctx.shortNames ? "yes" : "no") +
                           "; lookups run as " + ctx.lookupUser()});
}

} // namespace velka::authcheck
