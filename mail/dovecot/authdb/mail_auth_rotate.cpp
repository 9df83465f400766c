// Replacing the password key while lookups go on: a new key waits beside the
// key file, every encrypted password is re-encrypted under it and the new key's
// identity recorded in one transaction, and only then does the new key replace
// the old one. Interrupted anywhere, every password stays readable (see
// mail_auth_key_ring.h), and the next run finishes or starts over.
#include "mail/dovecot/authdb/mail_auth_db.h"

#include "lib/log/velka_log.h"
#include "mail/dovecot/authdb/mail_aes.h"
#include "mail/dovecot/authdb/mail_auth_guard.h"
#include "mail/dovecot/authdb/mail_auth_key_ring.h"
#include "mail/dovecot/authdb/mail_auth_sqlite.h"
#include "mail/dovecot/authdb/velka_cipher_record.h"

#include <openssl/crypto.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace velka::mail::authdb;

const char SELECT_ENCRYPTED[] =
    "SELECT u.id, u.userPassword, u.name || '@' || d.name FROM users AS u, domains AS d "
    "WHERE u.dom_id = d.id AND substr(u.userPassword, 1, 18) = '" MAIL_AES_PREFIX "'";
const char UPDATE_PASSWORD[] = "UPDATE users SET userPassword=? WHERE id=?";

struct Key {
    Key() = default;
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
    ~Key() { OPENSSL_cleanse(bytes, sizeof bytes); }

    unsigned char bytes[MAIL_AES_KEY_LENGTH] = {};
    int32_t id = NO_KEY_RECORDED;
};

// A cipher record over one key, wiped when it goes.
class Cipher {
public:
    explicit Cipher(const Key &key) {
        symmetric_cipher_init(&record_);
        symmetric_cipher_set_key(&record_, key.bytes, sizeof key.bytes);
    }
    ~Cipher() { symmetric_cipher_cleanup(&record_); }
    Cipher(const Cipher &) = delete;
    Cipher &operator=(const Cipher &) = delete;
    symmetric_cipher *get() { return &record_; }

private:
    symmetric_cipher record_;
};

using MallocText = std::unique_ptr<char, decltype(&free)>;

// The key file's directory, opened once; the key file and the pending key are
// worked on by name within it.
class KeyDirectory {
public:
    explicit KeyDirectory(const std::string &key_path) : path_(key_path) {
        const size_t slash = key_path.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : key_path.substr(0, slash + 1);
        key_ = key_path.substr(slash == std::string::npos ? 0 : slash + 1);
        pending_ = pendingKeyPath(key_);
        fd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0)
            velka_log(LOG_ERR, "Unable to open the key file's directory %s: %s", dir.c_str(),
                      strerror(errno));
    }
    ~KeyDirectory() {
        if (fd_ >= 0)
            close(fd_);
    }
    KeyDirectory(const KeyDirectory &) = delete;
    KeyDirectory &operator=(const KeyDirectory &) = delete;

    bool isOpen() const { return fd_ >= 0; }
    const char *keyPath() const { return path_.c_str(); }

    bool readCurrent(Key *key) const { return read(key_, key); }
    bool readPending(Key *key) const { return read(pending_, key); }

    bool currentAccess(struct stat *st) const {
        if (fstatat(fd_, key_.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0)
            return true;
        velka_log(LOG_ERR, "Can't read encryption key from '%s': %s (%d)", keyPath(),
                  strerror(errno), errno);
        return false;
    }

    // Leftovers of a run that never committed its key go first.
    bool removePending() const {
        if (unlinkat(fd_, pending_.c_str(), 0) == 0 || errno == ENOENT)
            return true;
        velka_log(LOG_ERR, "Unable to remove %s: %s", pendingKeyPath(path_).c_str(),
                  strerror(errno));
        return false;
    }

    // Written in full under the key file's owner, synced, and given its mode
    // last: no one else can read it at any moment, and it is whole before the
    // database names it.
    bool writePending(const Key &key, const struct stat &like) const {
        const int fd =
            openat(fd_, pending_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0);
        if (fd < 0)
            return fail("create");
        const bool ok = fchown(fd, like.st_uid, like.st_gid) == 0 &&
                        write(fd, key.bytes, sizeof key.bytes) == sizeof key.bytes &&
                        fsync(fd) == 0 && fchmod(fd, like.st_mode & 07777) == 0;
        const int err = errno;
        close(fd);
        errno = err;
        return (ok || fail("write")) && sync();
    }

    // The new key replaces the old one, which is gone from the directory then.
    bool promotePending() const {
        if (renameat(fd_, pending_.c_str(), fd_, key_.c_str()) != 0)
            return fail("rename over the key file");
        return sync();
    }

private:
    bool read(const std::string &name, Key *key) const {
        if (!readKeyAt(fd_, name.c_str(), key->bytes))
            return false;
        key->id = keyIdentity(key->bytes);
        return true;
    }

    bool fail(const char *what) const {
        velka_log(LOG_ERR, "Unable to %s the new key %s: %s", what, pendingKeyPath(path_).c_str(),
                  strerror(errno));
        return false;
    }

    bool sync() const {
        if (fsync(fd_) == 0)
            return true;
        velka_log(LOG_ERR, "Unable to sync the key file's directory: %s", strerror(errno));
        return false;
    }

    std::string path_;
    std::string key_;
    std::string pending_;
    int fd_ = -1;
};

struct StoredPassword {
    sqlite3_int64 id;
    std::string text;
    std::string address;
};

bool readEncrypted(Database &db, std::vector<StoredPassword> *rows) {
    Statement select(db, SELECT_ENCRYPTED);
    if (!select)
        return false;
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) {
        sqlite3_stmt *row = select.get();
        rows->push_back({sqlite3_column_int64(row, 0),
                         reinterpret_cast<const char *>(sqlite3_column_text(row, 1)),
                         reinterpret_cast<const char *>(sqlite3_column_text(row, 2))});
    }
    if (rc == SQLITE_DONE)
        return true;
    db.retry().log(LOG_ERR, "Unable to read the encrypted passwords: %s", db.errmsg());
    return false;
}

// Re-encrypts every row under fresh, and records fresh; false after logging.
bool storeReencrypted(Database &db, const std::vector<StoredPassword> &rows, const Key &old,
                      const Key &fresh, long *rotated, long *undecryptable) {
    Cipher old_cipher(old);
    Cipher new_cipher(fresh);
    Statement update(db, UPDATE_PASSWORD);
    if (!update)
        return false;
    for (const StoredPassword &row : rows) {
        MallocText plain(
            decryptWithRecord(old_cipher.get(), MAIL_AES_CIPHER_NAME, row.text.c_str()), &free);
        if (!plain) {
            velka_log(LOG_WARNING,
                      "The password of %s does not decrypt under the old key and is left as it "
                      "was (no login could use it): set it anew",
                      row.address.c_str());
            ++*undecryptable;
            continue;
        }
        MallocText text(encryptWithRecord(new_cipher.get(), MAIL_AES_CIPHER_NAME, plain.get()),
                        &free);
        OPENSSL_cleanse(plain.get(), strlen(plain.get()));
        if (!text) {
            velka_log(LOG_ERR, "Failed to encrypt password for mail address '%s'",
                      row.address.c_str());
            return false;
        }
        if (!update.bind({{text.get(), [] { return std::string("password"); }},
                          {row.id, [] { return std::string("user id"); }}}))
            return false;
        if (update.step() != SQLITE_DONE) {
            db.retry().log(LOG_ERR, "Unable to store the re-encrypted password of %s: %s",
                           row.address.c_str(), db.errmsg());
            return false;
        }
        sqlite3_reset(update.get());
        ++*rotated;
    }
    const std::string record = "PRAGMA user_version = " + std::to_string(fresh.id);
    if (sqlite3_exec(db.handle(), record.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    db.retry().log(LOG_ERR, "Unable to record the new key in the database: %s", db.errmsg());
    return false;
}

bool reencrypt(Database &db, const Key &old, const Key &fresh, long *rotated, long *undecryptable) {
    // The changed pages stay in memory until the commit, so that lookups are
    // shut out only while the commit writes them, not while every row changes.
    sqlite3_exec(db.handle(), "PRAGMA cache_spill = OFF", nullptr, nullptr, nullptr);
    WriteTransaction transaction(db);
    if (!transaction)
        return false;
    std::vector<StoredPassword> rows;
    if (!readEncrypted(db, &rows))
        return false;
    const bool stored = storeReencrypted(db, rows, old, fresh, rotated, undecryptable);
    for (StoredPassword &row : rows)
        OPENSSL_cleanse(&row.text[0], row.text.size());
    return stored && transaction.commit();
}

bool generateKey(Key *key, int32_t unlike) {
    do {
        if (mail_aes_gen_key(key->bytes, sizeof key->bytes) != sizeof key->bytes) {
            velka_log(LOG_CRIT,
                      "Unable to generate new Mail Authentication Password Encryption Key data: %s",
                      strerror(errno));
            return false;
        }
        key->id = keyIdentity(key->bytes);
    } while (key->id == unlike);
    return true;
}

int rotate(BusyRetry &retry, long *rotated, long *undecryptable) {
    const char *db_path = mailAuthDBGetPath();
    struct stat st;
    if (lstat(db_path, &st) != 0 || !S_ISREG(st.st_mode)) {
        velka_log(LOG_ERR, "No mail authentication database at %s", db_path);
        return -1;
    }
    KeyDirectory dir(mailAuthKeyGetPath());
    Database db(retry);
    int32_t recorded = NO_KEY_RECORDED;
    if (!dir.isOpen() || !db.openReadWrite() || !readRecordedKey(db, &recorded))
        return -1;

    Key pending;
    if (recorded != NO_KEY_RECORDED && dir.readPending(&pending) && pending.id == recorded)
        return dir.promotePending() ? 1 : -1; // committed before an interruption
    if (!dir.removePending())
        return -1;

    Key old;
    if (!dir.readCurrent(&old)) {
        velka_log(LOG_ERR, "Can't read encryption key from '%s': %s (%d)", dir.keyPath(),
                  strerror(errno), errno);
        return -1;
    }
    if (recorded != NO_KEY_RECORDED && recorded != old.id) {
        velka_log(LOG_ERR,
                  "'%s' does not hold the key the database's passwords are encrypted under: "
                  "restore the key file backed up with the database first",
                  dir.keyPath());
        return -1;
    }
    Key fresh;
    struct stat key_access;
    if (!generateKey(&fresh, old.id) || !dir.currentAccess(&key_access) ||
        !dir.writePending(fresh, key_access))
        return -1;
    if (!reencrypt(db, old, fresh, rotated, undecryptable)) {
        dir.removePending();
        return -1;
    }
    return dir.promotePending() ? 0 : -1;
}

} // namespace

int mailAuthRotateKey(long *rotated_r, long *undecryptable_r) {
    const char *operation = __func__;
    long rotated = 0;
    long undecryptable = 0;
    const int result = answerInsteadOfThrowing(operation, -1, [&] {
        BusyRetry retry(operation);
        return rotate(retry, &rotated, &undecryptable);
    });
    if (rotated_r != nullptr)
        *rotated_r = rotated;
    if (undecryptable_r != nullptr)
        *undecryptable_r = undecryptable;
    return result;
}
