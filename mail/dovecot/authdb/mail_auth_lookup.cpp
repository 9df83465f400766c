// Account lookups in the mail authentication database: one account by address,
// all accounts of a mail name, all accounts. Each runs one SELECT on a read-only
// handle and hands every row, its password made usable, to the caller's callback.
// The handle, with the address lookup prepared on it, is kept between lookups of a
// process as long as the database path still names the file it was opened on.
#include "mail/dovecot/authdb/mail_auth_db.h"

#include "lib/log/velka_log.h"
#include "mail/dovecot/authdb/mail_aes.h"
#include "mail/dovecot/authdb/mail_auth_guard.h"
#include "mail/dovecot/authdb/mail_auth_key_ring.h"
#include "mail/dovecot/authdb/mail_auth_lookup.h"
#include "mail/dovecot/authdb/mail_auth_password.h"
#include "mail/dovecot/authdb/mail_auth_sqlite.h"

#include <openssl/crypto.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace {

using namespace velka::mail::authdb;

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

// Returned by an attempt on a kept handle whose first step failed: the schema
// may have changed under its statement, so the lookup starts again on a new
// handle, which then fails (or not) and logs as any new handle would.
constexpr int START_AGAIN = INT_MIN;

// The read-only handle kept between lookups: opening the file and reading its
// schema for every login costs several times the lookup itself. It is free
// (db null) while a lookup has it, so that a lookup started from a callback
// opens a handle of its own. Statements are reset when a lookup ends, so that
// an idle handle holds no lock that would keep writers waiting.
struct KeptHandle {
    sqlite3 *db = nullptr;
    sqlite3_stmt *check = nullptr; // CHECK_QUERY, or null before the first use
    sqlite3_stmt *key = nullptr;   // RECORDED_KEY_QUERY, likewise
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    pid_t pid = 0;
};
KeptHandle kept;

// The password handed to the callback being called when it is a stored text
// that failed to decrypt; null otherwise.
const char *undecrypted_password = nullptr;

// Device and inode of the file at path, opened for reading as SQLite would: a
// file removed, replaced or made unreadable no longer matches, nor does a link.
bool identifyFile(const char *path, dev_t *dev, ino_t *ino) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct stat st;
    const bool ok = fstat(fd, &st) == 0;
    close(fd);
    if (ok) {
        *dev = st.st_dev;
        *ino = st.st_ino;
    }
    return ok;
}

// The handle of one lookup: the kept one when it is still valid, else a new
// one. It goes back to the process only when the lookup calls keep(), that is
// when its database work succeeded; after any error it is closed, and the next
// lookup opens the file again.
class Lookup {
public:
    explicit Lookup(BusyRetry &retry) : db_(retry) {}
    ~Lookup() {
        if (keep_ && kept.db == nullptr) {
            kept = {db_.release(), check_, key_, std::move(path_), dev_, ino_, getpid()};
            return;
        }
        db_.finalize(check_);
        db_.finalize(key_);
    }
    Lookup(const Lookup &) = delete;
    Lookup &operator=(const Lookup &) = delete;

    // Opens the database as openReadOnly() does, reusing the kept handle when
    // the path names the same readable file.
    bool open() {
        if (kept.db != nullptr && kept.pid != getpid())
            kept = {}; // inherited through fork(): the parent's, never to be used here
        path_ = mailAuthDBGetPath();
        known_ = identifyFile(path_.c_str(), &dev_, &ino_);
        if (kept.db != nullptr) {
            if (known_ && kept.dev == dev_ && kept.ino == ino_ && kept.path == path_) {
                db_.adopt(kept.db);
                check_ = kept.check;
                key_ = kept.key;
                kept = {};
                reused_ = true;
                return true;
            }
            db_.finalize(kept.check);
            db_.finalize(kept.key);
            db_.adopt(kept.db); // closed under this lookup's busy-retry rule
            kept = {};
            db_.close();
        }
        rollBackHotJournal(db_.retry());
        return db_.openReadOnly();
    }

    // CHECK_QUERY prepared on the handle; null after logging.
    sqlite3_stmt *checkStatement() {
        if (check_ == nullptr)
            check_ = db_.prepare(CHECK_QUERY);
        return check_;
    }

    // The key the database records, read within the read transaction of a
    // selection that has returned a row and is not reset yet. false after logging.
    bool recordedKey(int32_t *id) {
        if (key_ == nullptr)
            key_ = db_.prepare(RECORDED_KEY_QUERY);
        return key_ != nullptr && stepRecordedKey(db_, key_, id);
    }

    // Ends a use of the statement from checkStatement().
    void reset(sqlite3_stmt *stmt) {
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
    }

    // The lookup's database work succeeded: the handle may be kept.
    void keep() { keep_ = known_; }

    // Whether a first step that failed with rc may be tried again on a new
    // handle instead of being reported.
    bool startAgain(int rc) const { return reused_ && rc != GAVE_UP; }

    Database &db() { return db_; }

private:
    Database db_;
    sqlite3_stmt *check_ = nullptr;
    sqlite3_stmt *key_ = nullptr;
    std::string path_; // as opened
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool known_ = false; // the file was identified before the handle was opened
    bool keep_ = false;
    bool reused_ = false;
};

const char *columnText(sqlite3_stmt *stmt, int column) {
    return reinterpret_cast<const char *>(sqlite3_column_text(stmt, column));
}

bool haveCallback(mail_auth_callback_t callback, const char *operation) {
    if (callback != nullptr)
        return true;
    velka_log(LOG_ERR, "%s: no account callback given", operation);
    return false;
}

bool bothNull(sqlite3_stmt *stmt, int column) {
    return sqlite3_column_type(stmt, column) == SQLITE_NULL &&
           sqlite3_column_type(stmt, column + 1) == SQLITE_NULL;
}

// One account's columns as a result row holds them, from its encrypted password
// on: encrypted password, crypt hash, user status, domain status; and the key the
// database records, read in the same transaction, so that it is this password's.
struct StoredAccount {
    StoredAccount(sqlite3_stmt *stmt, int first, int32_t key_id)
        : encrypted(columnText(stmt, first)), hash(columnText(stmt, first + 1)),
          encrypted_has_nul(holdsNul(stmt, first)), hash_has_nul(holdsNul(stmt, first + 1)),
          user_disabled(mail_auth_status_disabled(columnText(stmt, first + 2))),
          domain_disabled(mail_auth_status_disabled(columnText(stmt, first + 3))), key_id(key_id) {}

    // A value with a NUL byte inside would be cut at it, and its first part
    // would then be the password.
    static bool holdsNul(sqlite3_stmt *stmt, int column) {
        const char *text = columnText(stmt, column);
        return text != nullptr &&
               strlen(text) != static_cast<size_t>(sqlite3_column_bytes(stmt, column));
    }

    const char *encrypted;
    const char *hash;
    bool encrypted_has_nul;
    bool hash_has_nul;
    bool user_disabled;
    bool domain_disabled;
    int32_t key_id;
};

int mail_auth_deliver_row(const char *address, const StoredAccount &stored,
                          mail_auth_callback_t callback, void *data) {
    char *decrypted = nullptr;
    bool undecrypted = false;
    bool spoiled;
    const char *password;
    unsigned char flags = 0;
    if (stored.encrypted != nullptr && stored.encrypted[0] != '\0') {
        spoiled = stored.encrypted_has_nul;
        // Passwords kept unencrypted still work: a failed decryption is logged
        // and the stored text taken as it is.
        if (!spoiled)
            decrypted =
                mail_auth_password_crypt(stored.encrypted, 0, address, nullptr, stored.key_id);
        // A password stored unencrypted does not decrypt either, and is one.
        undecrypted = decrypted == nullptr && is_encrypted_with_mail_aes(stored.encrypted);
        password = decrypted != nullptr ? decrypted : stored.encrypted;
    } else if (stored.hash != nullptr) {
        spoiled = stored.hash_has_nul;
        password = stored.hash;
        flags |= MAIL_AUTH_FLAG_CRYPT;
    } else {
        spoiled = false;
        password = stored.encrypted != nullptr ? stored.encrypted : "";
    }
    if (spoiled) {
        velka_log(LOG_ERR, "The stored password of %s holds a NUL byte: it never matches", address);
        password = "";
        undecrypted = false;
    }
    if (stored.user_disabled)
        flags |= MAIL_AUTH_FLAG_USER_DISABLED;
    if (stored.domain_disabled)
        flags |= MAIL_AUTH_FLAG_DOMAIN_DISABLED;

    // A lookup started from within the callback sets its own and puts this back.
    const char *outer = undecrypted_password;
    undecrypted_password = undecrypted ? password : nullptr;
    const int result = callback(address, password, flags, data);
    undecrypted_password = outer;
    if (decrypted != nullptr) {
        OPENSSL_cleanse(decrypted, strlen(decrypted));
        free(decrypted);
    }
    return result;
}

// The selection with suffix appended.
std::string selectionQuery(const char *suffix) {
    return suffix[0] != '\0' ? std::string(SELECTION_BASE) + " " + suffix : SELECTION_BASE;
}

// The walk: every row to the callback until it answers 0 or below. The
// caller's Lookup keeps or closes the handle.
int mail_auth_iterate_rows(Lookup &lookup, Statement &stmt, mail_auth_callback_t callback,
                           void *data) {
    Database &db = lookup.db();
    int result = 1;
    int32_t key_id = NO_KEY_RECORDED;
    for (bool first = true;; first = false) {
        const int rc = stmt.step();
        if (rc == SQLITE_DONE) {
            lookup.keep();
            break;
        }
        if (rc != SQLITE_ROW && first && lookup.startAgain(rc)) {
            result = START_AGAIN;
            break;
        }
        if (rc != SQLITE_ROW) {
            db.retry().log(LOG_ERR, "Unable to execute the user selection query: %s", db.errmsg());
            result = -1;
            break;
        }
        if (first && !lookup.recordedKey(&key_id)) {
            result = -1;
            break;
        }
        const char *address = columnText(stmt.get(), 0);
        if (address == nullptr || address[0] == '\0') {
            velka_log(LOG_WARNING, "NULL or empty mail address stored in the database, skipped");
            continue;
        }
        if (bothNull(stmt.get(), 1)) {
            velka_log(LOG_INFO,
                      "empty password properties (both plain and encrypted) for user %s, skipped",
                      address);
            continue;
        }
        result =
            mail_auth_deliver_row(address, StoredAccount(stmt.get(), 1, key_id), callback, data);
        if (result <= 0) {
            lookup.keep();
            break;
        }
    }
    return result;
}

// One attempt of a walk over the selection with suffix, with mailname bound to
// its one parameter when it has one.
int mail_auth_walk_once(Lookup &lookup, const char *suffix, bool by_mailname, const char *mailname,
                        mail_auth_callback_t callback, void *data) {
    if (!lookup.open())
        return -1;
    Database &db = lookup.db();
    const std::string query = selectionQuery(suffix);
    Statement stmt(db, query.c_str());
    if (!stmt)
        return -1;
    if (by_mailname && sqlite3_bind_text(stmt.get(), 1, mailname, -1, SQLITE_STATIC) != SQLITE_OK) {
        db.retry().log(LOG_ERR, "Unable to bind parameter mailname '%s' to  SQL statement: %s",
                       mailname != nullptr ? mailname : "", db.errmsg());
        return -1;
    }
    return mail_auth_iterate_rows(lookup, stmt, callback, data);
}

// Runs attempt on a Lookup of its own, and once more on a new handle when the
// first attempt found its kept handle stale.
template <typename Attempt> int withStartAgain(BusyRetry &retry, Attempt attempt) {
    int result = START_AGAIN;
    for (int tries = 0; tries < 2 && result == START_AGAIN; ++tries) {
        Lookup lookup(retry);
        result = attempt(lookup);
    }
    return result;
}

// A lookup as the C API runs it: its failure answered, not thrown, and started
// once more when its kept handle was stale.
template <typename Attempt> int guardedLookup(const char *operation, Attempt attempt) {
    return answerInsteadOfThrowing(operation, -1, [&] {
        BusyRetry retry(operation);
        return withStartAgain(retry, attempt);
    });
}

} // namespace

bool mail_auth_password_undecrypted(const char *password) {
    return password != nullptr && password == undecrypted_password;
}

// The integer a status's text begins with (after blanks and a sign) decides, as
// SQLite reads a text as an integer: "1", " 7x" disable; NULL, "", "0", "abc"
// do not.
bool mail_auth_status_disabled(const char *status) {
    if (status == nullptr)
        return false;
    while (*status == ' ' || (*status >= '\t' && *status <= '\r'))
        ++status;
    if (*status == '+' || *status == '-')
        ++status;
    while (*status == '0')
        ++status;
    return *status >= '1' && *status <= '9';
}

namespace {

// One attempt of mailAuthCheck on the address split at its "@".
int mail_auth_check_once(Lookup &lookup, const char *address, int name_len, const char *domain,
                         mail_auth_callback_t callback, void *data) {
    if (!lookup.open())
        return -1;
    Database &db = lookup.db();
    sqlite3_stmt *stmt = lookup.checkStatement();
    if (stmt == nullptr)
        return -1;
    if (!db.bind(
            stmt, CHECK_QUERY,
            {{address, name_len, [=] { return describe("mailname '%.*s'", name_len, address); }},
             {domain, [=] { return describe("domain name '%s'", domain); }}}))
        return -1;

    int result;
    const int rc = db.step(stmt);
    if (rc == SQLITE_ROW || rc == SQLITE_DONE)
        lookup.keep();
    int32_t key_id = NO_KEY_RECORDED;
    if (rc == SQLITE_ROW) {
        if (bothNull(stmt, 0)) {
            velka_log(LOG_INFO,
                      "NULL password fields (both plain and encrypted) for user %s, skipped",
                      address);
            result = -1;
        } else if (!lookup.recordedKey(&key_id)) {
            result = -1;
        } else {
            result = mail_auth_deliver_row(address, StoredAccount(stmt, 0, key_id), callback, data);
        }
    } else if (rc == SQLITE_DONE) {
        velka_log(LOG_INFO, "No such user '%s' in mail authorization database", address);
        result = 1;
    } else if (lookup.startAgain(rc)) {
        result = START_AGAIN;
    } else {
        db.retry().log(LOG_ERR, "Unable to execute the user selection query: %s", db.errmsg());
        result = -1;
    }
    lookup.reset(stmt);
    return result;
}

} // namespace

int mailAuthCheck(const char *address, mail_auth_callback_t callback, void *data) {
    if (!haveCallback(callback, __func__))
        return -1;
    const char *at = address != nullptr ? strchr(address, '@') : nullptr;
    if (at == nullptr || at == address || at[1] == '\0') {
        velka_log(LOG_ERR, "Invalid mail address '%s'", address != nullptr ? address : "");
        return -1;
    }
    const int name_len = static_cast<int>(at - address);
    const char *domain = at + 1;

    return guardedLookup(__func__, [&](Lookup &lookup) {
        return mail_auth_check_once(lookup, address, name_len, domain, callback, data);
    });
}

int mailAuthCheckShort(const char *mailname, mail_auth_callback_t callback, void *data) {
    if (!haveCallback(callback, __func__))
        return -1;
    return guardedLookup(__func__, [&](Lookup &lookup) {
        return mail_auth_walk_once(lookup, SHORT_NAME_SUFFIX, true, mailname, callback, data);
    });
}

int mailAuthIterateAll(mail_auth_callback_t callback, void *data) {
    if (!haveCallback(callback, __func__))
        return -1;
    return guardedLookup(__func__, [&](Lookup &lookup) {
        return mail_auth_walk_once(lookup, ALL_SUFFIX, false, nullptr, callback, data);
    });
}
