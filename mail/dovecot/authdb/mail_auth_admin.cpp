// Administration of the mail authentication database: setting, copying,
// renaming and removing users, and enabling, disabling, renaming and removing
// domains. Each statement runs on its own, in SQLite's automatic transaction.
#include "mail/dovecot/authdb/mail_auth_db.h"

#include "lib/log/velka_log.h"
#include "mail/dovecot/authdb/mail_auth_sqlite.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>

using velka::mail::authdb::BusyRetry;
using velka::mail::authdb::Database;

namespace {

const char SELECT_DOMAIN_ID[] = "SELECT id FROM domains WHERE name=LOWER(?)";
const char INSERT_DOMAIN[] = "INSERT INTO domains (name, status) VALUES(LOWER(?), ?)";
const char INSERT_USER_ENCRYPTED[] =
    "INSERT OR REPLACE INTO users (name, userPassword, status, dom_id) VALUES (LOWER(?), ?, ?, ?)";
const char INSERT_USER_HASHED[] = "INSERT OR REPLACE INTO users (name, cmusaslsecretPLAIN, status, "
                                  "dom_id) VALUES (LOWER(?), ?, ?, ?)";
const char DELETE_USER[] = "DELETE FROM users WHERE name=LOWER(?) AND dom_id=?";
const char RENAME_USER[] = "UPDATE users SET name=LOWER(?) WHERE name=LOWER(?) AND dom_id=?";
const char SET_DOMAIN_STATUS[] = "UPDATE domains SET status=? WHERE name=LOWER(?)";
const char RENAME_DOMAIN[] = "UPDATE domains SET name=LOWER(?) WHERE name=LOWER(?)";
const char DELETE_DOMAIN[] = "DELETE FROM domains WHERE name=LOWER(?)";
const char SELECT_DOMAIN[] = "SELECT id, status FROM domains WHERE name=LOWER(?)";
const char SELECT_USER[] = "SELECT name, userPassword, cmusaslsecretPLAIN, status FROM users WHERE "
                           "dom_id=? AND name=LOWER(?)";

// mail_auth_domain_id: mode bit that forbids creating a missing domain, and
// its answers besides an id.
constexpr int DOMAIN_NO_CREATE = 8;
constexpr sqlite3_int64 NO_DOMAIN = -1;
constexpr sqlite3_int64 DOMAIN_ERROR = -2;

// A prepared statement, finalised when it goes out of scope (before its
// Database, which is declared first).
class Statement {
public:
    Statement(Database &db, const char *sql) : db_(db), sql_(sql), stmt_(db.prepare(sql)) {}
    ~Statement() { db_.finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    explicit operator bool() const { return stmt_ != nullptr; }
    sqlite3_stmt *get() const { return stmt_; }
    const char *sql() const { return sql_; }
    bool bindText(int index, const char *text) {
        return sqlite3_bind_text(stmt_, index, text, -1, SQLITE_STATIC) == SQLITE_OK;
    }
    bool bindInt(int index, sqlite3_int64 value) {
        return sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
    }
    int step() { return db_.step(stmt_); }

private:
    Database &db_;
    const char *sql_;
    sqlite3_stmt *stmt_;
};

// Names are required: SQLite would store a missing one as NULL, which no
// lookup can find and UNIQUE does not keep single.
bool haveNames(const char *operation, std::initializer_list<const char *> names) {
    for (const char *name : names) {
        if (name == nullptr || name[0] == '\0') {
            velka_log(LOG_ERR, "%s: a mail name or domain name is missing", operation);
            return false;
        }
    }
    return true;
}

// The id of domain, created (disabled when mode is not 0) unless mode has
// DOMAIN_NO_CREATE; NO_DOMAIN when it is missing and not created; DOMAIN_ERROR
// after logging.
sqlite3_int64 mail_auth_domain_id(const char *domain, Database &db, int mode) {
    BusyRetry &retry = db.retry();
    Statement select(db, SELECT_DOMAIN_ID);
    if (!select)
        return DOMAIN_ERROR;
    if (!select.bindText(1, domain)) {
        retry.log(LOG_ERR,
                  "Unable to bind parameter domain name '%s' to  SQL statement for query '%s': %s",
                  domain, select.sql(), db.errmsg());
        return DOMAIN_ERROR;
    }
    int rc = select.step();
    if (rc == SQLITE_ROW)
        return sqlite3_column_int64(select.get(), 0);
    if (rc != SQLITE_DONE) {
        retry.log(LOG_ERR, "Unable to execute the domain selection query: %s", db.errmsg());
        return DOMAIN_ERROR;
    }
    if (mode & DOMAIN_NO_CREATE)
        return NO_DOMAIN;

    Statement insert(db, INSERT_DOMAIN);
    if (!insert)
        return DOMAIN_ERROR;
    const int status = mode != 0 ? 1 : 0;
    if (!insert.bindText(1, domain)) {
        retry.log(LOG_ERR,
                  "Unable to bind parameter domain name '%s' to  SQL statement for query '%s': %s",
                  domain, insert.sql(), db.errmsg());
        return DOMAIN_ERROR;
    }
    if (!insert.bindInt(2, status)) {
        retry.log(LOG_ERR,
                  "Unable to bind parameter status '%d' for domain '%s' to SQL statement for query "
                  "'%s': %s",
                  status, domain, insert.sql(), db.errmsg());
        return DOMAIN_ERROR;
    }
    rc = insert.step();
    if (rc == SQLITE_DONE)
        return sqlite3_last_insert_rowid(db.handle());
    std::string error = db.errmsg();
    if (rc == SQLITE_CONSTRAINT) {
        // Another writer created the domain since the selection: use theirs
        // rather than fail the write.
        sqlite3_reset(select.get());
        if (select.step() == SQLITE_ROW)
            return sqlite3_column_int64(select.get(), 0);
    }
    retry.log(LOG_ERR, "Unable to execute the mail domain authentication registration query: %s",
              error.c_str());
    return DOMAIN_ERROR;
}

int mail_auth_store_user(const char *mailname, const char *domain, const char *password,
                         unsigned char flags, BusyRetry &retry) {
    Database db(retry);
    if (!db.openReadWrite())
        return -1;
    const sqlite3_int64 domain_id =
        mail_auth_domain_id(domain, db, flags & MAIL_AUTH_FLAG_DOMAIN_DISABLED);
    if (domain_id < 0) {
        retry.log(LOG_ERR, "No such domain '%s' in the mail authentication DB", domain);
        return -1;
    }
    Statement insert(db,
                     (flags & MAIL_AUTH_FLAG_CRYPT) ? INSERT_USER_HASHED : INSERT_USER_ENCRYPTED);
    if (!insert)
        return -1;
    if (!insert.bindText(1, mailname)) {
        retry.log(LOG_ERR,
                  "Unable to bind parameter mailname '%s' to SQL statement for query '%s': %s",
                  mailname, insert.sql(), db.errmsg());
        return -1;
    }
    if (!insert.bindText(2, password)) {
        retry.log(LOG_ERR,
                  "Unable to bind parameter password for mail address '%s@%s' to SQL statement for "
                  "query '%s': %s",
                  mailname, domain, insert.sql(), db.errmsg());
        return -1;
    }
    if (!insert.bindInt(3, (flags & MAIL_AUTH_FLAG_USER_DISABLED) ? 1 : 0)) {
        retry.log(LOG_ERR,
                  "Unable to bind parameter status for mail address '%s@%s' to  SQL statement for "
                  "query '%s': %s",
                  mailname, domain, insert.sql(), db.errmsg());
        return -1;
    }
    if (!insert.bindInt(4, domain_id)) {
        retry.log(LOG_ERR,
                  "Unable to bind parameter domain ID for mail address '%s@%s' to  SQL statement "
                  "for query '%s': %s",
                  mailname, domain, insert.sql(), db.errmsg());
        return -1;
    }
    if (insert.step() != SQLITE_DONE) {
        retry.log(LOG_ERR, "Unable to execute the mail authorization registration query: %s: %s",
                  insert.sql(), db.errmsg());
        return -1;
    }
    return 0;
}

int mail_auth_set_domain_status(const char *domain, int status, const char *operation) {
    if (!haveNames(operation, {domain}))
        return -1;
    BusyRetry retry(operation);
    Database db(retry);
    if (!db.openReadWrite())
        return -1;
    Statement update(db, SET_DOMAIN_STATUS);
    if (!update)
        return -1;
    if (!update.bindInt(1, status)) {
        retry.log(LOG_ERR,
                  "Unable to bind parameter status %d to  SQL statement for query '%s': %s", status,
                  update.sql(), db.errmsg());
        return -1;
    }
    if (!update.bindText(2, domain)) {
        retry.log(LOG_ERR,
                  "Unable to bind parameter domain name '%s' to  SQL statement for query '%s': %s",
                  domain, update.sql(), db.errmsg());
        return -1;
    }
    if (update.step() != SQLITE_DONE) {
        retry.log(LOG_ERR,
                  "Unable to execute the mail domain authorization status change query: %s: %s",
                  update.sql(), db.errmsg());
        return -1;
    }
    return 0;
}

// One account as stored, for copying: the password is not decrypted.
struct UserRecord {
    std::string name;
    std::string password;
    bool has_password = false;
    unsigned char flags = 0;

    ~UserRecord() { OPENSSL_cleanse(&password[0], password.size()); }
};

// 1 with the record filled, 0 when there is no such account, -1 after logging.
int mail_auth_fetch_user(UserRecord &record, const char *mailname, const char *domain,
                         BusyRetry &retry) {
    Database db(retry);
    if (!db.openReadOnly())
        return -1;
    Statement domain_query(db, SELECT_DOMAIN);
    if (!domain_query)
        return -1;
    if (!domain_query.bindText(1, domain)) {
        retry.log(LOG_ERR, "Unable to bind parameter domain id for: %s: %s", domain, db.errmsg());
        return -1;
    }
    int rc = domain_query.step();
    if (rc == SQLITE_DONE)
        return 0;
    if (rc != SQLITE_ROW) {
        retry.log(LOG_ERR, "Unable to get domain id: %s", db.errmsg());
        retry.log(LOG_ERR, "Unable to get mail domain id for: %s", domain);
        return -1;
    }
    const sqlite3_int64 domain_id = sqlite3_column_int64(domain_query.get(), 0);
    const bool domain_disabled = sqlite3_column_int(domain_query.get(), 1) != 0;

    Statement user_query(db, SELECT_USER);
    if (!user_query)
        return -1;
    if (!user_query.bindInt(1, domain_id)) {
        retry.log(LOG_ERR, "Unable to bind parameter bind domain id for: %s: %s", domain,
                  db.errmsg());
        return -1;
    }
    if (!user_query.bindText(2, mailname)) {
        retry.log(LOG_ERR, "Unable to bind parameter bind mailname %s: %s", mailname, db.errmsg());
        return -1;
    }
    rc = user_query.step();
    if (rc == SQLITE_DONE)
        return 0;
    if (rc != SQLITE_ROW) {
        retry.log(LOG_ERR, "Unable to get passwd for mailname: %s: %s", mailname, db.errmsg());
        return -1;
    }
    sqlite3_stmt *row = user_query.get();
    try {
        record.flags = 0;
        if (domain_disabled)
            record.flags |= MAIL_AUTH_FLAG_DOMAIN_DISABLED;
        if (sqlite3_column_int(row, 3) != 0)
            record.flags |= MAIL_AUTH_FLAG_USER_DISABLED;
        record.name = reinterpret_cast<const char *>(sqlite3_column_text(row, 0));
        const unsigned char *hash = sqlite3_column_text(row, 2);
        const unsigned char *encrypted = sqlite3_column_text(row, 1);
        if (hash != nullptr) {
            record.password = reinterpret_cast<const char *>(hash);
            record.flags |= MAIL_AUTH_FLAG_CRYPT;
        } else if (encrypted != nullptr) {
            record.password = reinterpret_cast<const char *>(encrypted);
        }
        record.has_password = hash != nullptr || encrypted != nullptr;
    } catch (const std::bad_alloc &) {
        retry.log(LOG_ERR, "System error: %s", strerror(ENOMEM));
        return -1;
    }
    return 1;
}

} // namespace

int mailAuthSet(const char *mailname, const char *domain, const char *password,
                unsigned char flags) {
    if (!haveNames(__func__, {mailname, domain}))
        return -1;
    char *encrypted = nullptr;
    if (password != nullptr && !(flags & MAIL_AUTH_FLAG_CRYPT)) {
        encrypted = mail_auth_password_crypt(password, 1, mailname, domain);
        if (encrypted == nullptr)
            return -1;
        password = encrypted;
    }
    BusyRetry retry(__func__);
    const int rc = mail_auth_store_user(mailname, domain, password, flags, retry);
    free(encrypted);
    return rc;
}

int set_postbox_passwd(const char *mailname, const char *domain, const char *password,
                       unsigned char flags) {
    const int rc = password == nullptr || password[0] == '\0'
                       ? mailAuthRemove(mailname, domain)
                       : mailAuthSet(mailname, domain, password, flags);
    return rc == 0 ? 0 : -1;
}

int mailAuthRemove(const char *mailname, const char *domain) {
    if (!haveNames(__func__, {mailname, domain}))
        return -1;
    BusyRetry retry(__func__);
    Database db(retry);
    if (!db.openReadWrite())
        return -1;
    // A missing domain leaves nothing to remove; a failed lookup of it is a
    // failure, not a removal.
    const sqlite3_int64 domain_id = mail_auth_domain_id(domain, db, DOMAIN_NO_CREATE);
    if (domain_id == NO_DOMAIN)
        return 0;
    if (domain_id < 0)
        return -1;
    Statement remove(db, DELETE_USER);
    if (!remove)
        return -1;
    if (!remove.bindText(1, mailname)) {
        retry.log(LOG_ERR,
                  "Unable to bind parameter mailname '%s' to  SQL statement for query '%s': %s",
                  mailname, remove.sql(), db.errmsg());
        return -1;
    }
    if (!remove.bindInt(2, domain_id)) {
        retry.log(LOG_ERR,
                  "Unable to bind parameter domain ID for mail address '%s@%s' to  SQL statement "
                  "for query '%s': %s",
                  mailname, domain, remove.sql(), db.errmsg());
        return -1;
    }
    if (remove.step() != SQLITE_DONE) {
        retry.log(LOG_ERR, "Unable to execute the mail authorization removal query: %s: %s",
                  remove.sql(), db.errmsg());
        return -1;
    }
    return 0;
}

int mailAuthClone(const char *mailname, const char *domain, const char *new_mailname,
                  const char *new_domain) {
    if (!haveNames(__func__, {mailname, domain, new_mailname, new_domain}))
        return -1;
    BusyRetry retry(__func__);
    UserRecord record;
    const int found = mail_auth_fetch_user(record, mailname, domain, retry);
    if (found < 0) {
        retry.log(LOG_ERR, "Unable to get users list from MTA password database");
        return -1;
    }
    if (found == 0)
        return 0;
    return mail_auth_store_user(new_mailname, new_domain,
                                record.has_password ? record.password.c_str() : nullptr,
                                record.flags, retry);
}

int mailAuthRename(const char *old_mailname, const char *new_mailname, const char *domain) {
    if (!haveNames(__func__, {old_mailname, new_mailname, domain}))
        return -1;
    BusyRetry retry(__func__);
    Database db(retry);
    if (!db.openReadWrite())
        return -1;
    const sqlite3_int64 domain_id = mail_auth_domain_id(domain, db, DOMAIN_NO_CREATE);
    if (domain_id == NO_DOMAIN)
        retry.log(LOG_ERR, "No such domain '%s' in the mail authentication DB", domain);
    if (domain_id < 0)
        return -1;
    Statement rename(db, RENAME_USER);
    if (!rename)
        return -1;
    if (!rename.bindText(1, new_mailname)) {
        retry.log(LOG_ERR,
                  "Unable to bind parameter new mailname '%s' to  SQL statement for query '%s': %s",
                  new_mailname, rename.sql(), db.errmsg());
        return -1;
    }
    if (!rename.bindText(2, old_mailname)) {
        retry.log(LOG_ERR,
                  "Unable to bind parameter old mailname '%s' to  SQL statement for query '%s': %s",
                  old_mailname, rename.sql(), db.errmsg());
        return -1;
    }
    if (!rename.bindInt(3, domain_id)) {
        retry.log(LOG_ERR,
                  "Unable to bind parameter domain ID for mail address '%s@%s' to  SQL statement "
                  "for query '%s': %s",
                  old_mailname, domain, rename.sql(), db.errmsg());
        return -1;
    }
    if (rename.step() != SQLITE_DONE) {
        retry.log(LOG_ERR, "Unable to execute the mail authorization renaming query: %s: %s",
                  rename.sql(), db.errmsg());
        return -1;
    }
    return 0;
}

int mailAuthDisableDomain(const char *domain) {
    return mail_auth_set_domain_status(domain, 1, __func__);
}

int mailAuthEnableDomain(const char *domain) {
    return mail_auth_set_domain_status(domain, 0, __func__);
}

int mailAuthRenameDomain(const char *old_domain, const char *new_domain) {
    if (!haveNames(__func__, {old_domain, new_domain}))
        return -1;
    BusyRetry retry(__func__);
    Database db(retry);
    if (!db.openReadWrite())
        return -1;
    Statement rename(db, RENAME_DOMAIN);
    if (!rename)
        return -1;
    if (!rename.bindText(1, new_domain)) {
        retry.log(
            LOG_ERR,
            "Unable to bind parameter new domain name '%s' to SQL statement for query '%s': %s",
            new_domain, rename.sql(), db.errmsg());
        return -1;
    }
    if (!rename.bindText(2, old_domain)) {
        retry.log(
            LOG_ERR,
            "Unable to bind parameter old domain name '%s' to SQL statement for query '%s': %s",
            old_domain, rename.sql(), db.errmsg());
        return -1;
    }
    if (rename.step() != SQLITE_DONE) {
        retry.log(LOG_ERR,
                  "Unable to execute the mail domain authorization name change query: %s: %s",
                  rename.sql(), db.errmsg());
        return -1;
    }
    return 0;
}

int mailAuthRemoveDomain(const char *domain) {
    if (!haveNames(__func__, {domain}))
        return -1;
    BusyRetry retry(__func__);
    Database db(retry);
    if (!db.openReadWrite())
        return -1;
    Statement remove(db, DELETE_DOMAIN);
    if (!remove)
        return -1;
    if (!remove.bindText(1, domain)) {
        retry.log(LOG_ERR,
                  "Unable to bind parameter domain name '%s' to SQL statement for query '%s': %s",
                  domain, remove.sql(), db.errmsg());
        return -1;
    }
    if (remove.step() != SQLITE_DONE) {
        retry.log(LOG_ERR, "Unable to execute the domain mail authorization removal query: %s: %s",
                  remove.sql(), db.errmsg());
        return -1;
    }
    return 0;
}
