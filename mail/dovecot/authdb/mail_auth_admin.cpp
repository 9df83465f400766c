// Administration of the mail authentication database: setting, copying,
// renaming and removing users, and enabling, disabling, renaming and removing
// domains. Each statement runs on its own, in SQLite's automatic transaction,
// except where a password's key must stay the one read with it.
#include "mail/dovecot/authdb/mail_auth_db.h"

#include "lib/log/velka_log.h"
#include "mail/dovecot/authdb/mail_auth_guard.h"
#include "mail/dovecot/authdb/mail_auth_key_ring.h"
#include "mail/dovecot/authdb/mail_auth_password.h"
#include "mail/dovecot/authdb/mail_auth_sqlite.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>

namespace {

using namespace velka::mail::authdb;

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

// Runs one statement that changes the database: prepared, bound and stepped
// once. query names it in the message when the step fails. false after logging.
bool change(Database &db, const char *sql, std::initializer_list<Parameter> parameters,
            const char *query) {
    Statement stmt(db, sql);
    if (!stmt || !stmt.bind(parameters))
        return false;
    if (stmt.step() == SQLITE_DONE)
        return true;
    db.retry().log(LOG_ERR, "Unable to execute the %s query: %s: %s", query, sql, db.errmsg());
    return false;
}

// A writing operation's handle, open when the names it needs are all given and
// the database opened; else closed after logging.
struct Writer {
    Writer(const char *operation, std::initializer_list<const char *> names)
        : retry(operation), db(retry) {
        open = haveNames(operation, names) && db.openReadWrite();
    }
    BusyRetry retry;
    Database db;
    bool open;
};

Parameter domainName(const char *domain, Spacing spacing) {
    return {domain, [=] { return describe("domain name '%s'", domain); }, spacing};
}

Parameter domainIdOf(sqlite3_int64 id, const char *mailname, const char *domain) {
    return {id, [=] { return describe("domain ID for mail address '%s@%s'", mailname, domain); },
            Spacing::Double};
}

// The id of domain, created (disabled when mode is not 0) unless mode has
// DOMAIN_NO_CREATE; NO_DOMAIN when it is missing and not created; DOMAIN_ERROR
// after logging.
sqlite3_int64 mail_auth_domain_id(const char *domain, Database &db, int mode) {
    BusyRetry &retry = db.retry();
    Statement select(db, SELECT_DOMAIN_ID);
    if (!select || !select.bind({domainName(domain, Spacing::Double)}))
        return DOMAIN_ERROR;
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
    const int status = mode != 0 ? 1 : 0;
    if (!insert ||
        !insert.bind(
            {domainName(domain, Spacing::Double),
             {status, [=] { return describe("status '%d' for domain '%s'", status, domain); }}}))
        return DOMAIN_ERROR;
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

// Writes one user row on an open handle: the domain created when missing
// (disabled with MAIL_AUTH_FLAG_DOMAIN_DISABLED), password stored as given.
int mail_auth_store_user(Database &db, const char *mailname, const char *domain,
                         const char *password, unsigned char flags) {
    const sqlite3_int64 domain_id =
        mail_auth_domain_id(domain, db, flags & MAIL_AUTH_FLAG_DOMAIN_DISABLED);
    if (domain_id < 0) {
        db.retry().log(LOG_ERR, "No such domain '%s' in the mail authentication DB", domain);
        return -1;
    }
    const int user_disabled = (flags & MAIL_AUTH_FLAG_USER_DISABLED) ? 1 : 0;
    const bool stored =
        change(db, (flags & MAIL_AUTH_FLAG_CRYPT) ? INSERT_USER_HASHED : INSERT_USER_ENCRYPTED,
               {{mailname, [=] { return describe("mailname '%s'", mailname); }},
                {password,
                 [=] { return describe("password for mail address '%s@%s'", mailname, domain); }},
                {user_disabled,
                 [=] { return describe("status for mail address '%s@%s'", mailname, domain); },
                 Spacing::Double},
                domainIdOf(domain_id, mailname, domain)},
               "mail authorization registration");
    return stored ? 0 : -1;
}

// Encrypts password under the key the database records and stores it, both in
// one transaction: a key replaced in between would leave it under the old key.
int mail_auth_store_encrypted(Database &db, const char *mailname, const char *domain,
                              const char *password, unsigned char flags) {
    WriteTransaction transaction(db);
    int32_t key_id = NO_KEY_RECORDED;
    if (!transaction || !readRecordedKey(db, &key_id))
        return -1;
    std::unique_ptr<char, decltype(&free)> encrypted(
        mail_auth_password_crypt(password, 1, mailname, domain, key_id), &free);
    if (!encrypted)
        return -1;
    return mail_auth_store_user(db, mailname, domain, encrypted.get(), flags) == 0 &&
                   transaction.commit()
               ? 0
               : -1;
}

int mail_auth_set_domain_status(const char *domain, int status, const char *operation) {
    return answerInsteadOfThrowing(operation, -1, [&] {
        Writer writer(operation, {domain});
        return writer.open && change(writer.db, SET_DOMAIN_STATUS,
                                     {{status, [=] { return describe("status %d", status); },
                                       Spacing::Double},
                                      domainName(domain, Spacing::Double)},
                                     "mail domain authorization status change")
                   ? 0
                   : -1;
    });
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
                         Database &db) {
    BusyRetry &retry = db.retry();
    Statement domain_query(db, SELECT_DOMAIN);
    if (!domain_query)
        return -1;
    if (sqlite3_bind_text(domain_query.get(), 1, domain, -1, SQLITE_STATIC) != SQLITE_OK) {
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
    if (sqlite3_bind_int64(user_query.get(), 1, domain_id) != SQLITE_OK) {
        retry.log(LOG_ERR, "Unable to bind parameter bind domain id for: %s: %s", domain,
                  db.errmsg());
        return -1;
    }
    if (sqlite3_bind_text(user_query.get(), 2, mailname, -1, SQLITE_STATIC) != SQLITE_OK) {
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
    const char *operation = __func__;
    return answerInsteadOfThrowing(operation, -1, [&] {
        if (!haveNames(operation, {mailname, domain}))
            return -1;
        const bool encrypt = password != nullptr && !(flags & MAIL_AUTH_FLAG_CRYPT);
        // Without a usable key nothing is written, not even a new database file.
        if (encrypt && passwordCipherFor(NO_KEY_RECORDED) == nullptr) {
            velka_log(LOG_ERR,
                      "Failed to initialize password cipher context (for mail address '%s@%s')",
                      mailname, domain);
            return -1;
        }
        BusyRetry retry(operation);
        Database db(retry);
        if (!db.openReadWrite())
            return -1;
        return encrypt ? mail_auth_store_encrypted(db, mailname, domain, password, flags)
                       : mail_auth_store_user(db, mailname, domain, password, flags);
    });
}

int set_postbox_passwd(const char *mailname, const char *domain, const char *password,
                       unsigned char flags) {
    const int rc = password == nullptr || password[0] == '\0'
                       ? mailAuthRemove(mailname, domain)
                       : mailAuthSet(mailname, domain, password, flags);
    return rc == 0 ? 0 : -1;
}

int mailAuthRemove(const char *mailname, const char *domain) {
    const char *operation = __func__;
    return answerInsteadOfThrowing(operation, -1, [&] {
        Writer writer(operation, {mailname, domain});
        if (!writer.open)
            return -1;
        // A missing domain leaves nothing to remove; a failed lookup of it is a
        // failure, not a removal.
        const sqlite3_int64 domain_id = mail_auth_domain_id(domain, writer.db, DOMAIN_NO_CREATE);
        if (domain_id == NO_DOMAIN)
            return 0;
        if (domain_id < 0)
            return -1;
        return change(writer.db, DELETE_USER,
                      {{mailname, [=] { return describe("mailname '%s'", mailname); },
                        Spacing::Double},
                       domainIdOf(domain_id, mailname, domain)},
                      "mail authorization removal")
                   ? 0
                   : -1;
    });
}

int mailAuthClone(const char *mailname, const char *domain, const char *new_mailname,
                  const char *new_domain) {
    const char *operation = __func__;
    return answerInsteadOfThrowing(operation, -1, [&] {
        if (!haveNames(operation, {mailname, domain, new_mailname, new_domain}))
            return -1;
        BusyRetry retry(operation);
        Database db(retry);
        if (!db.openReadWrite())
            return -1;
        // Read and written in one transaction, so that the copy of an encrypted
        // password cannot miss a key replacement that re-encrypts the original.
        WriteTransaction transaction(db);
        if (!transaction)
            return -1;
        UserRecord record;
        const int found = mail_auth_fetch_user(record, mailname, domain, db);
        if (found < 0) {
            retry.log(LOG_ERR, "Unable to get users list from MTA password database");
            return -1;
        }
        if (found == 0)
            return 0;
        return mail_auth_store_user(db, new_mailname, new_domain,
                                    record.has_password ? record.password.c_str() : nullptr,
                                    record.flags) == 0 &&
                       transaction.commit()
                   ? 0
                   : -1;
    });
}

int mailAuthRename(const char *old_mailname, const char *new_mailname, const char *domain) {
    const char *operation = __func__;
    return answerInsteadOfThrowing(operation, -1, [&] {
        Writer writer(operation, {old_mailname, new_mailname, domain});
        if (!writer.open)
            return -1;
        const sqlite3_int64 domain_id = mail_auth_domain_id(domain, writer.db, DOMAIN_NO_CREATE);
        if (domain_id == NO_DOMAIN)
            writer.retry.log(LOG_ERR, "No such domain '%s' in the mail authentication DB", domain);
        if (domain_id < 0)
            return -1;
        return change(writer.db, RENAME_USER,
                      {{new_mailname, [=] { return describe("new mailname '%s'", new_mailname); },
                        Spacing::Double},
                       {old_mailname, [=] { return describe("old mailname '%s'", old_mailname); },
                        Spacing::Double},
                       domainIdOf(domain_id, old_mailname, domain)},
                      "mail authorization renaming")
                   ? 0
                   : -1;
    });
}

int mailAuthDisableDomain(const char *domain) {
    return mail_auth_set_domain_status(domain, 1, __func__);
}

int mailAuthEnableDomain(const char *domain) {
    return mail_auth_set_domain_status(domain, 0, __func__);
}

int mailAuthRenameDomain(const char *old_domain, const char *new_domain) {
    const char *operation = __func__;
    return answerInsteadOfThrowing(operation, -1, [&] {
        Writer writer(operation, {old_domain, new_domain});
        return writer.open &&
                       change(writer.db, RENAME_DOMAIN,
                              {{new_domain,
                                [=] { return describe("new domain name '%s'", new_domain); }},
                               {old_domain,
                                [=] { return describe("old domain name '%s'", old_domain); }}},
                              "mail domain authorization name change")
                   ? 0
                   : -1;
    });
}

int mailAuthRemoveDomain(const char *domain) {
    const char *operation = __func__;
    return answerInsteadOfThrowing(operation, -1, [&] {
        Writer writer(operation, {domain});
        return writer.open &&
                       change(writer.db, DELETE_DOMAIN, {domainName(domain, Spacing::Single)},
                              "domain mail authorization removal")
                   ? 0
                   : -1;
    });
}
