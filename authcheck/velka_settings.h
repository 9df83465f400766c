// The velka passdb's settings as Dovecot resolves them, read through doveconf:
// shared by the diagnostic and the account command, so that both find the
// database where the plug-in finds it.
#ifndef VELKA_AUTHCHECK_VELKA_SETTINGS_H
#define VELKA_AUTHCHECK_VELKA_SETTINGS_H

#include <string>

namespace velka::authcheck {

struct VelkaSettings {
    std::string passdbName; // empty when no passdb uses the driver
    std::string smtpServer; // velka_smtp_server
    bool useWorker = false;
    bool maildirCheck = true;
    bool shortNames = false;
    bool weakSchemesAllowed = false; // auth_allow_weak_schemes
};

// The name of the first top-level passdb block of a doveconf -n text whose
// driver is velka; empty when there is none.
std::string velkaPassdb(const std::string &config);

// The settings of the passdb named in settings->passdbName as Dovecot applies
// them to it, given the doveconf -n text of configFile: the passdb block's own
// value, else the global one, else the default.
void readVelkaSettings(const std::string &configFile, const std::string &config,
                       VelkaSettings *settings);

} // namespace velka::authcheck

#endif
