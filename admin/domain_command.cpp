// domain enable|disable|remove DOMAIN and domain rename DOMAIN NEW-DOMAIN. The
// library lets a missing domain pass silently; here it is an error, so that a
// typing mistake does not look like success.
#include "admin/commands.h"
#include "admin/named.h"
#include "admin/report.h"
#include "authcheck/display_text.h"
#include "mail/dovecot/authdb/mail_auth_db.h"

namespace velka::admin {

namespace {

using velka::authcheck::terminalText;

int renameDomain(const std::string &domain, const std::string &newDomain) {
    if (const int status = requireDomain(newDomain, false); status != GO_ON)
        return status;
    if (mailAuthRenameDomain(domain.c_str(), newDomain.c_str()) != 0)
        return fail("cannot rename domain " + terminalText(domain) + " (see the lines above)");
    std::cout << "renamed domain " << terminalText(domain) << " to " << terminalText(newDomain)
              << "\n";
    return EXIT_OK;
}

int changeDomain(const std::string &action, const std::string &domain) {
    int (*change)(const char *) = action == "enable"    ? mailAuthEnableDomain
                                  : action == "disable" ? mailAuthDisableDomain
                                                        : mailAuthRemoveDomain;
    if (change(domain.c_str()) != 0)
        return fail("cannot " + action + " domain " + terminalText(domain) +
                    " (see the lines above)");
    std::cout << action << "d domain " << terminalText(domain)
              << (action == "remove" ? " and all its accounts" : "") << "\n";
    return EXIT_OK;
}

} // namespace

int runDomain(const AdminContext &ctx) {
    const std::string &action = ctx.args[0];
    const std::string &domain = ctx.args[1];
    if (const int status = requireDomain(domain); status != GO_ON)
        return status;
    if (action == "rename")
        return renameDomain(domain, ctx.args[2]);
    return changeDomain(action, domain);
}

} // namespace velka::admin
