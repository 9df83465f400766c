// Account lookups in the mail authentication database: one account by address,
// all accounts of a mail name, all accounts. Each runs one SELECT on a read-only
// handle and hands every row, its password made usable, to the caller's callback.
#include "mail/dovecot/authdb/mail_auth_db.h"

#include "lib/log/velka_log.h"
#include "mail/dovecot/authdb/mail_aes.h"
#include "mail/dovecot/authdb/mail_auth_sqlite.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

using velka::mail::authdb::BusyRetry;
using velka::mail::authdb::Database;

namespace
{

const char SELECTION_BASE[] =
    "SELECT u.name || '@' || d.name as mailAddress, u.userPassword AS password, "
    "u.cmusaslsecretPLAIN AS encPassword, u.status AS userDisabled, d.status AS domainDisabled "
    "FROM users AS u, domains AS d WHERE u.dom_id = d.id";
const char SHORT_NAME_SUFFIX[] = "AND u.name=LOWER(?)";
const char ALL_SUFFIX[] = "ORDER BY d.name, u.name";

const char CHECK_QUERY[] =
    "SELECT u.userPassword AS password, u.cmusaslsecretPLAIN AS encPassword, "
    "u.status AS userDisabled, d.status AS domainDisabled "
    "FROM users AS u, domains AS d WHERE u.dom_id = d.id AND u.name=LOWER(?) AND d.name=LOWER(?)";

const char* columnText(sqlite3_stmt* stmt, int column)
{
    return reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
}

bool haveCallback(mail_auth_callback_t callback, const char* operation)
{
    if (callback != nullptr)
        return true;
    velka_log(LOG_ERR, "%s: no account callback given", operation);
    return false;
}

bool bothNull(sqlite3_stmt* stmt, int column)
{
    return sqlite3_column_type(stmt, column) == SQLITE_NULL &&
           sqlite3_column_type(stmt, column + 1) == SQLITE_NULL;
}

int mail_auth_deliver_row(const char* address, const char* enc_password, const char* hash_password,
                          int user_disabled, int domain_disabled, mail_auth_callback_t callback,
                          void* data)
{
    char* decrypted = nullptr;
    const char* password;
    unsigned char flags = 0;
    if (enc_password != nullptr && enc_password[0] != '\0') {
        // Passwords kept unencrypted still work: a failed decryption is logged
        // and the stored text taken as it is.
        decrypted = mail_auth_password_crypt(enc_password, 0, address, nullptr);
        password = decrypted != nullptr ? decrypted : enc_password;
    } else if (hash_password != nullptr) {
        password = hash_password;
        flags |= MAIL_AUTH_FLAG_CRYPT;
    } else {
        password = enc_password != nullptr ? enc_password : "";
    }
    if (user_disabled != 0)
        flags |= MAIL_AUTH_FLAG_USER_DISABLED;
    if (domain_disabled != 0)
        flags |= MAIL_AUTH_FLAG_DOMAIN_DISABLED;

    const int result = callback(address, password, flags, data);
    if (decrypted != nullptr) {
        OPENSSL_cleanse(decrypted, strlen(decrypted));
        free(decrypted);
    }
    return result;
}

// Opens the database and prepares the selection with suffix; null after
// logging on failure.
sqlite3_stmt* mail_auth_open_selection(Database& db, const char* suffix)
{
    if (!db.openReadOnly())
        return nullptr;
    char query[sizeof(SELECTION_BASE) + 64];
    static_assert(sizeof(SHORT_NAME_SUFFIX) < 63 && sizeof(ALL_SUFFIX) < 63,
                  "query buffer too small");
    snprintf(query, sizeof(query), "%s %s", SELECTION_BASE, suffix);
    return db.prepare(suffix[0] != '\0' ? query : SELECTION_BASE);
}

// The walk: every row to the callback until it answers 0 or below. Finalises
// the statement; the caller's Database closes the handle.
int mail_auth_iterate_rows(Database& db, sqlite3_stmt* stmt, mail_auth_callback_t callback,
                           void* data)
{
    int result = 1;
    for (;;) {
        const int rc = db.step(stmt);
        if (rc == SQLITE_DONE)
            break;
        if (rc != SQLITE_ROW) {
            db.retry().log(LOG_ERR, "Unable to execute the user selection query: %s", db.errmsg());
            result = -1;
            break;
        }
        const char* address = columnText(stmt, 0);
        if (address == nullptr || address[0] == '\0') {
            velka_log(LOG_WARNING, "NULL or empty mail address stored in the database, skipped");
            continue;
        }
        if (bothNull(stmt, 1)) {
            velka_log(LOG_INFO,
                      "empty password properties (both plain and encrypted) for user %s, skipped",
                      address);
            continue;
        }
        result = mail_auth_deliver_row(address, columnText(stmt, 1), columnText(stmt, 2),
                                       sqlite3_column_int(stmt, 3), sqlite3_column_int(stmt, 4),
                                       callback, data);
        if (result <= 0)
            break;
    }
    db.finalize(stmt);
    return result;
}

} // namespace

char* mail_auth_password_crypt(const char* text, int mode, const char* mailname, const char* domain)
{
    const char* at = domain != nullptr ? "@" : "";
    if (domain == nullptr)
        domain = "";
    if (!mail_aes_init(mailAuthKeyGetPath())) {
        velka_log(LOG_ERR,
                  "Failed to initialize password cipher context (for mail address '%s%s%s')",
                  mailname, at, domain);
        return nullptr;
    }
    char* result = mode == 1 ? mail_aes_encrypt(text) : mail_aes_decrypt(text);
    if (result == nullptr)
        velka_log(LOG_ERR, "Failed to %s password for mail address '%s%s%s'",
                  mode == 1 ? "encrypt" : "decrypt", mailname, at, domain);
    mail_aes_cleanup();
    return result;
}

int mailAuthCheck(const char* address, mail_auth_callback_t callback, void* data)
{
    if (!haveCallback(callback, __func__))
        return -1;
    const char* at = address != nullptr ? strchr(address, '@') : nullptr;
    if (at == nullptr || at == address || at[1] == '\0') {
        velka_log(LOG_ERR, "Invalid mail address '%s'", address != nullptr ? address : "");
        return -1;
    }
    const int name_len = static_cast<int>(at - address);
    const char* domain = at + 1;

    BusyRetry retry(__func__);
    Database db(retry);
    if (!db.openReadOnly())
        return -1;
    sqlite3_stmt* stmt = db.prepare(CHECK_QUERY);
    if (stmt == nullptr)
        return -1;
    if (sqlite3_bind_text(stmt, 1, address, name_len, SQLITE_STATIC) != SQLITE_OK) {
        retry.log(LOG_ERR,
                  "Unable to bind parameter mailname '%.*s' to SQL statement for query '%s': %s",
                  name_len, address, CHECK_QUERY, db.errmsg());
        db.finalize(stmt);
        return -1;
    }
    if (sqlite3_bind_text(stmt, 2, domain, -1, SQLITE_STATIC) != SQLITE_OK) {
        retry.log(LOG_ERR,
                  "Unable to bind parameter domain name '%s' to SQL statement for query '%s': %s",
                  domain, CHECK_QUERY, db.errmsg());
        db.finalize(stmt);
        return -1;
    }

    int result;
    const int rc = db.step(stmt);
    if (rc == SQLITE_ROW) {
        if (bothNull(stmt, 0)) {
            velka_log(LOG_INFO,
                      "NULL password fields (both plain and encrypted) for user %s, skipped",
                      address);
            result = -1;
        } else {
            result = mail_auth_deliver_row(address, columnText(stmt, 0), columnText(stmt, 1),
                                           sqlite3_column_int(stmt, 2), sqlite3_column_int(stmt, 3),
                                           callback, data);
        }
    } else if (rc == SQLITE_DONE) {
        velka_log(LOG_INFO, "No such user '%s' in mail authorization database", address);
        result = 1;
    } else {
        retry.log(LOG_ERR, "Unable to execute the user selection query: %s", db.errmsg());
        result = -1;
    }
    db.finalize(stmt);
    return result;
}

int mailAuthCheckShort(const char* mailname, mail_auth_callback_t callback, void* data)
{
    if (!haveCallback(callback, __func__))
        return -1;
    BusyRetry retry(__func__);
    Database db(retry);
    sqlite3_stmt* stmt = mail_auth_open_selection(db, SHORT_NAME_SUFFIX);
    if (stmt == nullptr)
        return -1;
    if (sqlite3_bind_text(stmt, 1, mailname, -1, SQLITE_STATIC) != SQLITE_OK) {
        retry.log(LOG_ERR, "Unable to bind parameter mailname '%s' to  SQL statement: %s",
                  mailname != nullptr ? mailname : "", db.errmsg());
        db.finalize(stmt);
        return -1;
    }
    return mail_auth_iterate_rows(db, stmt, callback, data);
}

int mailAuthIterateAll(mail_auth_callback_t callback, void* data)
{
    if (!haveCallback(callback, __func__))
        return -1;
    BusyRetry retry(__func__);
    Database db(retry);
    sqlite3_stmt* stmt = mail_auth_open_selection(db, ALL_SUFFIX);
    if (stmt == nullptr)
        return -1;
    return mail_auth_iterate_rows(db, stmt, callback, data);
}
