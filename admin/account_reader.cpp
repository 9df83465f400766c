#include "admin/account_reader.h"

#include "mail/dovecot/authdb/mail_aes.h"
#include "mail/dovecot/authdb/mail_auth_db.h"
#include "mail/dovecot/authdb/mail_auth_key_ring.h"
#include "mail/dovecot/authdb/mail_auth_sqlite.h"

#include <iostream>

namespace velka::admin {

namespace {

using namespace velka::mail::authdb;

// The lookups' own rule: a non-empty userPassword wins, and is decrypted when it
// carries the cipher's prefix (?1), else taken as plain text; otherwise
// cmusaslsecretPLAIN is a crypt hash.
#define KIND_COLUMNS                                                                               \
    "SELECT u.name || '@' || d.name,"                                                              \
    " CASE WHEN IFNULL(u.userPassword, '') <> '' THEN"                                             \
    "   CASE WHEN substr(u.userPassword, 1, length(?1)) = ?1 THEN 'aes' ELSE 'plain' END"          \
    "  WHEN u.cmusaslsecretPLAIN IS NOT NULL THEN 'crypt' ELSE 'none' END,"                        \
    " CASE WHEN IFNULL(u.userPassword, '') <> '' THEN"                                             \
    "   CASE WHEN substr(u.userPassword, 1, length(?1)) = ?1 THEN u.userPassword END"              \
    "  ELSE u.cmusaslsecretPLAIN END,"                                                             \
    " u.status, d.status, " MAIL_AUTH_KEY_ID_COLUMN                                                \
    " FROM users AS u JOIN domains AS d ON u.dom_id = d.id "

const char ALL_ACCOUNTS[] = KIND_COLUMNS "ORDER BY d.name, u.name";
const char DOMAIN_ACCOUNTS[] = KIND_COLUMNS "WHERE d.name = LOWER(?2) ORDER BY u.name";
const char ONE_ACCOUNT[] = KIND_COLUMNS "WHERE d.name = LOWER(?2) AND u.name = LOWER(?3)";
const char DOMAIN_EXISTS[] = "SELECT 1 FROM domains WHERE name = LOWER(?1)";

const char OPERATION[] = "velka-auth-admin";

Parameter text(const char *value) {
    return {value, [] { return std::string("value"); }};
}

std::string column(sqlite3_stmt *stmt, int index) {
    const unsigned char *value = sqlite3_column_text(stmt, index);
    return value != nullptr ? reinterpret_cast<const char *>(value) : "";
}

void cannotRead(const char *why) {
    std::cerr << "velka-auth-admin: cannot read the database " << mailAuthDBGetPath() << ": " << why
              << "\n";
}

// Runs sql with parameters, calling row() for each result row. The database is
// opened read-only: a missing one fails rather than appear empty.
template <typename Row>
bool query(const char *sql, std::initializer_list<Parameter> parameters, Row row) {
    BusyRetry retry(OPERATION);
    Database db(retry);
    if (!db.openReadOnly()) {
        cannotRead("velka-auth-admin init creates it");
        return false;
    }
    Statement stmt(db, sql);
    if (!stmt || !stmt.bind(parameters)) {
        cannotRead("is it a mail authentication database?");
        return false;
    }
    int rc;
    while ((rc = stmt.step()) == SQLITE_ROW)
        row(stmt.get());
    if (rc == SQLITE_DONE)
        return true;
    cannotRead(db.errmsg());
    return false;
}

StoredAccount accountOf(sqlite3_stmt *stmt) {
    StoredAccount account;
    account.address = column(stmt, 0);
    account.kind = column(stmt, 1);
    account.stored = column(stmt, 2);
    account.userEnabled = sqlite3_column_int(stmt, 3) == 0;
    account.domainEnabled = sqlite3_column_int(stmt, 4) == 0;
    account.keyId = sqlite3_column_int(stmt, 5);
    return account;
}

} // namespace

bool readAccounts(const std::string &domain, std::vector<StoredAccount> *accounts) {
    const auto collect = [&](sqlite3_stmt *stmt) { accounts->push_back(accountOf(stmt)); };
    if (domain.empty())
        return query(ALL_ACCOUNTS, {text(MAIL_AES_PREFIX)}, collect);
    return query(DOMAIN_ACCOUNTS, {text(MAIL_AES_PREFIX), text(domain.c_str())}, collect);
}

bool readAccount(const Address &address, StoredAccount *account, bool *found) {
    *found = false;
    return query(
        ONE_ACCOUNT,
        {text(MAIL_AES_PREFIX), text(address.domain.c_str()), text(address.mailname.c_str())},
        [&](sqlite3_stmt *stmt) {
            *account = accountOf(stmt);
            *found = true;
        });
}

bool domainExists(const std::string &domain, bool *exists) {
    *exists = false;
    return query(DOMAIN_EXISTS, {text(domain.c_str())}, [&](sqlite3_stmt *) { *exists = true; });
}

} // namespace velka::admin
