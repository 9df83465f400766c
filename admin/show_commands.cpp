// list [DOMAIN] and show ADDRESS: what is stored, never a password.
#include "admin/account_output.h"
#include "admin/commands.h"
#include "admin/named.h"
#include "admin/report.h"

namespace velka::admin {

int runList(const AdminContext &ctx) {
    const std::string domain = ctx.args.empty() ? std::string() : ctx.args[0];
    if (!domain.empty())
        if (const int status = requireDomain(domain); status != GO_ON)
            return status;
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
    NamedAccount named;
    if (const int status = requireAccount(ctx.args[0], &named); status != GO_ON)
        return status;
    if (ctx.json) {
        printAccountJson(std::cout, named.stored);
        std::cout << "\n";
    } else {
        printAccountLines(std::cout, named.stored);
    }
    return EXIT_OK;
}

} // namespace velka::admin
