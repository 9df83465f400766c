// What the checks learn about the installation and hand on to later checks.
#ifndef VELKA_AUTHCHECK_CONTEXT_H
#define VELKA_AUTHCHECK_CONTEXT_H

#include <string>

namespace velka::authcheck {

struct Context {
    std::string configFile = "/etc/dovecot/dovecot.conf";
    bool configRead = false; // doveconf -n accepted the configuration
    std::string configText;  // its output
    std::string passdbName;  // empty when no passdb uses the driver
    std::string smtpServer;  // velka_smtp_server as Dovecot reads it
    bool useWorker = false;
    bool maildirCheck = true;
    bool shortNames = false;
    bool weakSchemesAllowed = false;
    int style = -1; // MAIL_AUTH_STYLE_*, -1 until known
    std::string databasePath;
    std::string keyPath;
    bool keyUsable = false;        // present and of the right size
    bool databaseReadable = false; // opened by the lookups' user

    // Lookups run in root's auth workers or in the auth process as "dovecot".
    std::string lookupUser() const { return useWorker ? "root" : "dovecot"; }
    bool layoutKnown() const { return style >= 0; }
};

} // namespace velka::authcheck

#endif
