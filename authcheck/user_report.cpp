// What a login of one address would find, without any password: the account
// (or, for a short name, the candidates), its scheme, whether it or its domain
// is disabled, and its Maildir.
#include "authcheck/as_user.h"
#include "authcheck/checks.h"
#include "authcheck/sqlite_reader.h"
#include "mail/dovecot/authdb/mail_auth_lookup.h"
#include "mail/dovecot/authdb/vqa_conf.h"

#include <sys/stat.h>

namespace velka::authcheck {

namespace {

// One row per account as "mailname@domain|scheme|user status|domain status". A
// status's NULL becomes "" and its "|" an "_": both read as before, and the row
// keeps its four fields.
const char ACCOUNTS_SQL[] =
    "SELECT u.name || '@' || d.name || '|' || "
    "CASE WHEN IFNULL(u.userPassword, '') LIKE '$AES-256-CBC%' THEN 'AES' "
    "WHEN IFNULL(u.userPassword, '') <> '' THEN 'plain' "
    "WHEN IFNULL(u.cmusaslsecretPLAIN, '') <> '' THEN 'crypt' ELSE 'none' END || '|' || "
    "REPLACE(IFNULL(u.status, ''), '|', '_') || '|' || "
    "REPLACE(IFNULL(d.status, ''), '|', '_') "
    "FROM users u JOIN domains d ON d.id = u.dom_id "
    "WHERE u.name = LOWER(?1) AND (?2 = '' OR d.name = LOWER(?2)) ORDER BY d.name";

struct Account {
    std::string address, scheme;
    bool userDisabled, domainDisabled;
};

std::vector<Account> parseAccounts(const std::vector<std::string> &rows) {
    std::vector<Account> accounts;
    for (const std::string &row : rows) {
        size_t a = row.rfind('|', row.rfind('|', row.rfind('|') - 1) - 1);
        size_t b = row.find('|', a + 1), c = row.find('|', b + 1);
        accounts.push_back({row.substr(0, a), row.substr(a + 1, b - a - 1),
                            mail_auth_status_disabled(row.substr(b + 1, c - b - 1).c_str()),
                            mail_auth_status_disabled(row.substr(c + 1).c_str())});
    }
    return accounts;
}

CheckResult maildirOf(const Context &ctx, const std::string &address) {
    size_t at = address.find('@');
    const char *root = vqaConfGetDefaultByIndex(VQA_VELKA_MAILNAMES_D);
    std::string path = std::string(root ? root : "") + "/" + address.substr(at + 1) + "/" +
                       address.substr(0, at) + "/Maildir";
    struct stat st;
    bool present = lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (present)
        return {"user.maildir", Status::Ok, path + " present"};
    if (!ctx.maildirCheck)
        return {"user.maildir", Status::Ok, path + " missing; the Maildir check is off"};
    return {"user.maildir", Status::Warning, path + " missing: the login is refused as an alias's"};
}

Results describe(const Context &ctx, const std::string &login, const std::vector<Account> &found) {
    const bool shortName = login.find('@') == std::string::npos;
    if (shortName && !ctx.shortNames)
        return {{"user.account", Status::Warning,
                 "'" + login + "' has no domain and velka_allow_shortnames is off: refused"}};
    if (found.empty())
        return {{"user.account", Status::Warning, "no account for '" + login + "'"}};
    if (shortName && found.size() > 1) {
        std::string list;
        for (const Account &a : found)
            list += (list.empty() ? "" : ", ") + a.address + " (" + a.scheme + ")";
        return {{"user.account", Status::Ok,
                 "'" + login + "' matches " + list + "; the password picks the account"}};
    }
    const Account &a = found[0];
    Results results = {
        {"user.account", Status::Ok, "'" + login + "' is " + a.address + ", password " + a.scheme}};
    if (a.scheme == "none")
        results[0].status = Status::Warning;
    if (a.userDisabled || a.domainDisabled)
        results.push_back({"user.status", Status::Warning,
                           a.userDisabled ? "the user is disabled" : "the domain is disabled"});
    else
        results.push_back({"user.status", Status::Ok, "user and domain enabled"});
    results.push_back(maildirOf(ctx, a.address));
    return results;
}

} // namespace

void reportUser(const Context &ctx, const std::string &login, Results &results) {
    if (!ctx.databaseReadable) {
        results.push_back({"user.account", Status::Skipped, "database not readable"});
        return;
    }
    size_t at = login.find('@');
    const std::string name = login.substr(0, at);
    const std::string domain = at == std::string::npos ? "" : login.substr(at + 1);
    Results rows = runAsUser(ctx.lookupUser(), "user.account", [&] {
        SqliteReader db(ctx.databasePath);
        std::vector<std::string> found;
        std::string error;
        if (!db.usable(&error) || !db.column(ACCOUNTS_SQL, {name, domain}, &found, &error))
            return Results{{"user.account", Status::Failure, error}};
        Results encoded;
        for (const std::string &row : found)
            encoded.push_back({"row", Status::Ok, row});
        return encoded;
    });
    std::vector<std::string> found;
    for (const CheckResult &r : rows) {
        if (r.id != "row") {
            results.push_back(r);
            return;
        }
        found.push_back(r.message);
    }
    Results described = describe(ctx, login, parseAccounts(found));
    results.insert(results.end(), described.begin(), described.end());
}

} // namespace velka::authcheck
