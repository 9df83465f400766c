#include "admin/account_output.h"

#include "authcheck/display_text.h"
#include "mail/dovecot/authdb/mail_auth_crypt_scheme.h"

#include <iomanip>

namespace velka::admin {

namespace {

using velka::authcheck::jsonString;
using velka::authcheck::terminalText;

const char *state(bool enabled) {
    return enabled ? "enabled" : "disabled";
}

std::string shownScheme(const StoredAccount &account) {
    const char *scheme = schemeOf(account);
    return scheme != nullptr ? scheme : "none";
}

} // namespace

const char *schemeOf(const StoredAccount &account) {
    if (account.kind == "aes")
        return "AES-256-CBC";
    if (account.kind == "crypt")
        return mail_auth_crypt_scheme(account.stored.c_str());
    if (account.kind == "plain")
        return "PLAIN";
    return nullptr;
}

void printAccountTable(std::ostream &out, const std::vector<StoredAccount> &accounts) {
    size_t width = 7; // "ADDRESS"
    for (const StoredAccount &account : accounts)
        width = std::max(width, terminalText(account.address).size());
    const auto row = [&](const std::string &address, const std::string &scheme, const char *user,
                         const char *domain) {
        out << std::left << std::setw(static_cast<int>(width) + 2) << address << std::setw(15)
            << scheme << std::setw(10) << user << domain << "\n";
    };
    row("ADDRESS", "SCHEME", "USER", "DOMAIN");
    for (const StoredAccount &account : accounts)
        row(terminalText(account.address), shownScheme(account), state(account.userEnabled),
            state(account.domainEnabled));
}

void printAccountLines(std::ostream &out, const StoredAccount &account) {
    out << "address: " << terminalText(account.address) << "\n"
        << "kind: " << account.kind << "\n"
        << "scheme: " << shownScheme(account) << "\n"
        << "user: " << state(account.userEnabled) << "\n"
        << "domain: " << state(account.domainEnabled) << "\n";
}

void printAccountJson(std::ostream &out, const StoredAccount &account) {
    const char *scheme = schemeOf(account);
    out << "{\"address\": " << jsonString(account.address)
        << ", \"kind\": " << jsonString(account.kind)
        << ", \"scheme\": " << (scheme != nullptr ? jsonString(scheme) : "null")
        << ", \"user_enabled\": " << (account.userEnabled ? "true" : "false")
        << ", \"domain_enabled\": " << (account.domainEnabled ? "true" : "false") << "}";
}

void printAccountsJson(std::ostream &out, const std::vector<StoredAccount> &accounts) {
    out << "[";
    const char *separator = "";
    for (const StoredAccount &account : accounts) {
        out << separator;
        printAccountJson(out, account);
        separator = ",\n ";
    }
    out << "]\n";
}

} // namespace velka::admin
