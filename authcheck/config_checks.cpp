// doveconf accepts the configuration, a passdb uses the driver, and its
// settings as Dovecot reads them.
#include "authcheck/checks.h"
#include "authcheck/doveconf.h"
#include "authcheck/velka_settings.h"

namespace velka::authcheck {

namespace {

std::string firstLine(const std::string &text) {
    std::string line = text.substr(0, text.find('\n'));
    return line.empty() ? "no message" : line;
}

void readPassdbSettings(Context &ctx) {
    VelkaSettings settings;
    settings.passdbName = ctx.passdbName;
    readVelkaSettings(ctx.configFile, ctx.configText, &settings);
    ctx.smtpServer = settings.smtpServer;
    ctx.useWorker = settings.useWorker;
    ctx.maildirCheck = settings.maildirCheck;
    ctx.shortNames = settings.shortNames;
    ctx.weakSchemesAllowed = settings.weakSchemesAllowed;
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
