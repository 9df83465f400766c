// The database and key as the lookups see them: in a child process with the
// identity the lookups run under, the database opens read-only, passes
// SQLite's quick_check, has the tables the lookups read, and the key decrypts
// a stored password (which is wiped at once and never shown), and no crypt hash
// uses a scheme that Dovecot refuses.
#include "authcheck/as_user.h"
#include "authcheck/checks.h"
#include "authcheck/crypt_functions.h"
#include "authcheck/sqlite_reader.h"
#include "mail/dovecot/authdb/mail_aes.h"
#include "mail/dovecot/authdb/mail_auth_columns.h"

#include <cstdlib>
#include <cstring>
#include <map>

namespace velka::authcheck {

namespace {

CheckResult integrity(SqliteReader &db) {
    std::vector<std::string> rows;
    std::string error;
    if (!db.column("PRAGMA quick_check", {}, &rows, &error))
        return {"database.integrity", Status::Failure,
                "quick_check failed: " + error + "; restore the database from a backup"};
    if (rows.size() != 1 || rows[0] != "ok")
        return {"database.integrity", Status::Failure,
                "quick_check: " + (rows.empty() ? std::string("no answer") : rows[0]) +
                    "; restore the database from a backup"};
    return {"database.integrity", Status::Ok, "quick_check: ok"};
}

CheckResult schema(SqliteReader &db) {
    const std::string missing = velka::mail::authdb::missingColumns(db.handle());
    if (!missing.empty())
        return {"database.schema", Status::Failure,
                "missing " + missing + ": not a mail authentication database of this panel"};
    return {"database.schema", Status::Ok, "tables domains and users as expected"};
}

// The scheme of every hash that a login is checked against (an account with a
// non-empty userPassword is checked against that instead) and that Dovecot
// refuses by default.
const char REFUSED_HASHES_SQL[] =
    "SELECT velka_crypt_scheme(cmusaslsecretPLAIN) FROM users "
    "WHERE IFNULL(userPassword, '') = '' AND IFNULL(cmusaslsecretPLAIN, '') <> '' "
    "AND velka_crypt_refused(cmusaslsecretPLAIN)";

std::string countsText(const std::map<std::string, int> &counts) {
    std::string text;
    for (const auto &[scheme, count] : counts)
        text += (text.empty() ? "" : ", ") + (scheme == "unknown" ? "no crypt hash" : scheme) +
                ": " + std::to_string(count);
    return text;
}

// DES and MD5 crypt pass once weak schemes are allowed; a value that is no
// crypt hash Dovecot knows never does.
CheckResult cryptSchemes(SqliteReader &db, bool weakAllowed) {
    const std::string id = "database.crypt";
    std::vector<std::string> schemes;
    std::string error;
    if (!addCryptFunctions(db.handle()) || !db.column(REFUSED_HASHES_SQL, {}, &schemes, &error))
        return {id, Status::Failure, "cannot read the stored crypt hashes: " + error};
    std::map<std::string, int> refused, weak;
    size_t refusedCount = 0;
    for (const std::string &scheme : schemes) {
        const bool passes = weakAllowed && scheme != "unknown";
        ++(passes ? weak : refused)[scheme];
        refusedCount += passes ? 0 : 1;
    }
    if (refusedCount > 0) {
        const bool anyWeak = refused.size() > refused.count("unknown");
        return {
            id, Status::Warning,
            std::to_string(refusedCount) +
                (refusedCount == 1 ? " account has a crypt hash" : " accounts have crypt hashes") +
                " that Dovecot refuses (" + countsText(refused) +
                "), so their logins fail: re-set those passwords (velka-auth-admin passwd "
                "ADDRESS; velka-auth-admin list shows the schemes)" +
                (anyWeak ? " or allow weak schemes in Dovecot knowingly "
                           "(auth_allow_weak_schemes = yes)"
                         : "")};
    }
    if (!weak.empty())
        return {id, Status::Warning,
                "crypt hashes of weak schemes (" + countsText(weak) +
                    ") pass only because auth_allow_weak_schemes = yes: re-set those passwords "
                    "(velka-auth-admin passwd ADDRESS)"};
    return {id, Status::Ok, "no crypt hash of a scheme that Dovecot refuses"};
}

CheckResult decryption(SqliteReader &db, const std::string &keyPath, const std::string &user) {
    const std::string id = "key.decrypt";
    std::vector<std::string> stored;
    std::string error;
    if (!db.column("SELECT userPassword FROM users WHERE userPassword LIKE '$AES-256-CBC%' LIMIT 1",
                   {}, &stored, &error))
        return {id, Status::Failure, "cannot read the stored passwords: " + error};
    if (stored.empty())
        return {id, Status::Ok, "no encrypted password stored yet; nothing to decrypt"};
    if (!mail_aes_init(keyPath.c_str()))
        return {id, Status::Failure, keyPath + " cannot be read as user " + user};
    char *plain = mail_aes_decrypt(stored[0].c_str());
    mail_aes_cleanup();
    if (plain == nullptr)
        return {id, Status::Failure,
                "the key does not decrypt the stored passwords: it does not belong to this "
                "database; restore the right key file"};
    explicit_bzero(plain, std::strlen(plain));
    std::free(plain);
    return {id, Status::Ok, "the key decrypts a stored password"};
}

Results lookupChecks(const Context &ctx, const std::string &user) {
    const std::string &dbPath = ctx.databasePath;
    SqliteReader db(dbPath);
    std::string error;
    if (!db.usable(&error))
        return {{"database.open", Status::Failure,
                 "user " + user + " cannot open " + dbPath + " read-only: " + error +
                     (user == "root" ? std::string()
                                     : "; use use_worker = yes or give group access "
                                       "(administrator's guide, section 3)")},
                {"database.integrity", Status::Skipped, "database not readable"},
                {"database.schema", Status::Skipped, "database not readable"},
                {"database.crypt", Status::Skipped, "database not readable"},
                {"key.decrypt", Status::Skipped, "database not readable"}};
    Results results = {{"database.open", Status::Ok, "opens read-only as user " + user}};
    results.push_back(integrity(db));
    results.push_back(schema(db));
    const bool damaged = results[1].status == Status::Failure;
    if (damaged || results[2].status == Status::Failure)
        results.push_back({"database.crypt", Status::Skipped, "database damaged"});
    else
        results.push_back(cryptSchemes(db, ctx.weakSchemesAllowed));
    if (damaged)
        results.push_back({"key.decrypt", Status::Skipped, "database damaged"});
    else if (ctx.keyUsable)
        results.push_back(decryption(db, ctx.keyPath, user));
    else
        results.push_back({"key.decrypt", Status::Skipped, "key file not usable"});
    return results;
}

} // namespace

void checkDatabaseAsLookupUser(Context &ctx, Results &results) {
    const std::string user = ctx.lookupUser();
    Results found = runAsUser(user, "database.open", [&] { return lookupChecks(ctx, user); });
    for (const CheckResult &r : found)
        if (r.id == "database.open")
            ctx.databaseReadable = r.status == Status::Ok;
    results.insert(results.end(), found.begin(), found.end());
}

} // namespace velka::authcheck
