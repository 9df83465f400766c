// list [DOMAIN] and show ADDRESS: what is stored, never a password.
#include "admin/account_output.h"
#include "admin/commands.h"
#include "admin/report.h"
#include "authcheck/display_text.h"

namespace velka::admin {

int runList(const AdminContext &ctx) {
    const std::string domain = ctx.args.empty() ? std::string() : ctx.args[0];
    std::string error;
    if (!domain.empty()) {
        bool exists = false;
        if (!validDomain(domain, &error))
            return fail(error, EXIT_USAGE);
        if (!domainExists(domain, &exists))
            return EXIT_FAILED;
        if (!exists)
            return fail("no domain " + velka::authcheck::terminalText(domain));
    }
    std::vector<StoredAccount> accounts;
    if (!readAccounts(domain, &accounts))
        return EXIT_FAILED;
    if (ctx.json)
        printAccountsJson(std::cout, accounts);
    else
        printAccountTable(std::cout, accounts);
    return EXIT_OK;
}

int runShow(const AdminContext &ctx) {
    Address address;
    StoredAccount account;
    bool found = false;
    std::string error;
    if (!parseAddress(ctx.args[0], &address, &error))
        return fail(error, EXIT_USAGE);
    if (!readAccount(address, &account, &found))
        return EXIT_FAILED;
    if (!found)
        return fail("no account " + velka::authcheck::terminalText(ctx.args[0]));
    if (ctx.json) {
        printAccountJson(std::cout, account);
        std::cout << "\n";
    } else {
        printAccountLines(std::cout, account);
    }
    return EXIT_OK;
}

} // namespace velka::admin
