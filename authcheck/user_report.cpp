// What a login of one address would find, without any password: the account
// (or, for a short name, the candidates), its scheme, whether it or its domain
// is disabled, and its Maildir.
#include "authcheck/as_user.h"
#include "authcheck/checks.h"
#include "authcheck/crypt_functions.h"
#include "authcheck/sqlite_reader.h"
#include "mail/dovecot/authdb/mail_auth_lookup.h"
#include "mail/dovecot/authdb/vqa_conf.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace velka::authcheck {

namespace {

// One row per account as "mailname@domain|scheme|user status|domain status". A
// status's NULL becomes "" and its "|" an "_": both read as before, and the row
// keeps its four fields. A crypt scheme reads "crypt NAME", with " refused" when
// Dovecot refuses it by default.
const char ACCOUNTS_SQL[] =
    "SELECT u.name || '@' || d.name || '|' || "
    "CASE WHEN IFNULL(u.userPassword, '') LIKE '$AES-256-CBC%' THEN 'AES' "
    "WHEN IFNULL(u.userPassword, '') <> '' THEN 'plain' "
    "WHEN IFNULL(u.cmusaslsecretPLAIN, '') <> '' THEN 'crypt ' || "
    "velka_crypt_scheme(u.cmusaslsecretPLAIN) || "
    "CASE WHEN velka_crypt_refused(u.cmusaslsecretPLAIN) THEN ' refused' ELSE '' END "
    "ELSE 'none' END || '|' || "
    "REPLACE(IFNULL(u.status, ''), '|', '_') || '|' || "
    "REPLACE(IFNULL(d.status, ''), '|', '_') "
    "FROM users u JOIN domains d ON d.id = u.dom_id "
    "WHERE u.name = LOWER(?1) AND (?2 = '' OR d.name = LOWER(?2)) ORDER BY d.name";

const char REFUSED_MARK[] = " refused";

struct Account {
    std::string address, scheme; // scheme: AES, plain, none or "crypt NAME"
    bool userDisabled, domainDisabled;
    bool refused = false; // a crypt scheme that Dovecot refuses by default
};

bool endsWith(const std::string &text, const std::string &end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::vector<Account> parseAccounts(const std::vector<std::string> &rows) {
    std::vector<Account> accounts;
    for (const std::string &row : rows) {
        size_t a = row.rfind('|', row.rfind('|', row.rfind('|') - 1) - 1);
        size_t b = row.find('|', a + 1), c = row.find('|', b + 1);
        Account account = {row.substr(0, a), row.substr(a + 1, b - a - 1),
                           mail_auth_status_disabled(row.substr(b + 1, c - b - 1).c_str()),
                           mail_auth_status_disabled(row.substr(c + 1).c_str())};
        if (endsWith(account.scheme, REFUSED_MARK)) {
            account.scheme.resize(account.scheme.size() - sizeof REFUSED_MARK + 1);
            account.refused = true;
        }
        accounts.push_back(account);
    }
    return accounts;
}

// The plug-in's own test, with the rights of the lookups' user: lstat, so that
// a link named Maildir is not followed and counts as no Maildir.
CheckResult maildirFinding(const std::string &path, bool maildirCheck, const std::string &user) {
    struct stat st;
    const bool examined = lstat(path.c_str(), &st) == 0;
    if (examined && S_ISDIR(st.st_mode))
        return {"user.maildir", Status::Ok, path + " present"};
    if (!examined && errno != ENOENT) {
        const std::string error = std::strerror(errno);
        if (!maildirCheck)
            return {"user.maildir", Status::Ok, path + ": " + error + "; the Maildir check is off"};
        return {"user.maildir", Status::Failure,
                "user " + user + " cannot examine " + path + ": " + error +
                    ": the login fails with an internal error"};
    }
    const std::string found = !examined ? "missing"
                              : S_ISLNK(st.st_mode)
                                  ? "a symbolic link, which the login does not follow"
                                  : "not a directory";
    if (!maildirCheck)
        return {"user.maildir", Status::Ok, path + " is " + found + "; the Maildir check is off"};
    return {"user.maildir", Status::Warning,
            path + " is " + found + ": the login is refused as an alias's"};
}

CheckResult maildirOf(const Context &ctx, const std::string &address) {
    size_t at = address.find('@');
    const char *root = vqaConfGetDefaultByIndex(VQA_VELKA_MAILNAMES_D);
    std::string path = std::string(root ? root : "") + "/" + address.substr(at + 1) + "/" +
                       address.substr(0, at) + "/Maildir";
    const std::string user = ctx.lookupUser();
    return runAsUser(user, "user.maildir",
                     [&] { return Results{maildirFinding(path, ctx.maildirCheck, user)}; })
        .front();
}

// A refused crypt scheme fails every login of the account, however right the
// password.
CheckResult judgeScheme(const Context &ctx, const Account &a, CheckResult shown) {
    const std::string reset = "re-set the password (velka-auth-admin passwd " + a.address + ")";
    if (a.scheme == "crypt unknown") {
        shown.status = Status::Failure;
        shown.message += ": no crypt hash that Dovecot can check, so every login fails; " + reset;
    } else if (!ctx.weakSchemesAllowed) {
        shown.status = Status::Failure;
        shown.message += ": a scheme Dovecot refuses by default, so every login fails; " + reset +
                         " or allow weak schemes in Dovecot knowingly (auth_allow_weak_schemes = "
                         "yes)";
    } else {
        shown.status = Status::Warning;
        shown.message +=
            ": a weak scheme, accepted only because auth_allow_weak_schemes = yes; " + reset;
    }
    return shown;
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
    else if (a.refused)
        results[0] = judgeScheme(ctx, a, results[0]);
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
        if (!db.usable(&error) || !addCryptFunctions(db.handle()) ||
            !db.column(ACCOUNTS_SQL, {name, domain}, &found, &error))
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
