#include "admin/named.h"

#include "admin/report.h"
#include "authcheck/display_text.h"

namespace velka::admin {

using velka::authcheck::terminalText;

int lookUpAccount(const std::string &text, NamedAccount *account) {
    std::string error;
    account->shown = terminalText(text);
    if (!parseAddress(text, &account->address, &error))
        return fail(error, EXIT_USAGE);
    return readAccount(account->address, &account->stored, &account->found) ? GO_ON : EXIT_FAILED;
}

int requireAccount(const std::string &text, NamedAccount *account) {
    const int status = lookUpAccount(text, account);
    if (status != GO_ON || account->found)
        return status;
    return fail("no account " + account->shown);
}

int requireDomain(const std::string &domain, bool wanted) {
    std::string error;
    bool exists = false;
    if (!validDomain(domain, &error))
        return fail(error, EXIT_USAGE);
    if (!domainExists(domain, &exists))
        return EXIT_FAILED;
    if (exists == wanted)
        return GO_ON;
    return fail(wanted ? "no domain " + terminalText(domain)
                       : "domain " + terminalText(domain) + " exists: remove it first");
}

} // namespace velka::admin
