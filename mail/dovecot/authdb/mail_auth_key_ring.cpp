#include "mail/dovecot/authdb/mail_auth_key_ring.h"

#include "lib/log/velka_log.h"
#include "mail/dovecot/authdb/mail_aes.h"
#include "mail/dovecot/authdb/mail_auth_db.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velka::mail::authdb {

namespace {

const char IDENTITY_LABEL[] = "velka mail password key";

// fstat of fd; false with errno, EINVAL for anything but a regular file.
bool regularFile(int fd, struct stat *st) {
    if (fstat(fd, st) != 0)
        return false;
    if (S_ISREG(st->st_mode))
        return true;
    errno = EINVAL;
    return false;
}

bool readKeyFd(int fd, unsigned char *key) {
    size_t got = 0;
    while (got < MAIL_AES_KEY_LENGTH) {
        const ssize_t n = read(fd, key + got, MAIL_AES_KEY_LENGTH - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENODATA;
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

// One key file as last read: the key in a cipher record, and what identified
// the file then, so that an unchanged file is not read again.
class KeySlot {
public:
    // OpenSSL first, so that its exit handler is registered before this slot's
    // destructor and runs after it, while the contexts can still be freed.
    KeySlot() {
        OPENSSL_init_crypto(0, nullptr);
        symmetric_cipher_init(&cipher_);
    }
    ~KeySlot() { symmetric_cipher_cleanup(&cipher_); }
    KeySlot(const KeySlot &) = delete;
    KeySlot &operator=(const KeySlot &) = delete;

    // Brings the slot up to the file at path; false with errno when the file
    // cannot be read as a key.
    bool load(const std::string &path) {
        // One lstat per login when nothing changed: every system call shows in
        // the cost of a lookup.
        struct stat seen;
        if (loaded_ && lstat(path.c_str(), &seen) == 0 && sameFile(path, seen))
            return true;
        const int fd =
            open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0)
            return forget();
        struct stat st;
        if (!regularFile(fd, &st)) {
            const int err = errno;
            close(fd);
            errno = err;
            return forget();
        }
        unsigned char key[MAIL_AES_KEY_LENGTH];
        const bool read = readKeyFd(fd, key);
        const int err = errno;
        close(fd);
        if (!read) {
            errno = err;
            return forget();
        }
        symmetric_cipher_cleanup(&cipher_);
        symmetric_cipher_init(&cipher_);
        symmetric_cipher_set_key(&cipher_, key, sizeof key);
        id_ = keyIdentity(key);
        OPENSSL_cleanse(key, sizeof key);
        path_ = path;
        st_ = st;
        loaded_ = true;
        return true;
    }

    // Whether the slot holds the key recorded as id: a key's identity names it,
    // so that no file needs to be looked at.
    bool holds(int32_t id) const { return loaded_ && id_ == id; }
    int32_t id() const { return id_; }
    symmetric_cipher *cipher() { return &cipher_; }

private:
    bool sameFile(const std::string &path, const struct stat &st) const {
        return path == path_ && st.st_dev == st_.st_dev && st.st_ino == st_.st_ino &&
               st.st_size == st_.st_size && st.st_mtim.tv_sec == st_.st_mtim.tv_sec &&
               st.st_mtim.tv_nsec == st_.st_mtim.tv_nsec;
    }

    bool forget() {
        if (loaded_) {
            const int err = errno;
            symmetric_cipher_cleanup(&cipher_);
            symmetric_cipher_init(&cipher_);
            errno = err;
        }
        loaded_ = false;
        return false;
    }

    symmetric_cipher cipher_;
    std::string path_;
    struct stat st_ = {};
    int32_t id_ = NO_KEY_RECORDED;
    bool loaded_ = false;
};

// Made at the first use, after OpenSSL (see KeySlot()).
KeySlot &currentKey() {
    static KeySlot slot;
    return slot;
}

KeySlot &pendingKey() {
    static KeySlot slot;
    return slot;
}

} // namespace

int32_t keyIdentity(const unsigned char key[32]) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_len = 0;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    const bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1 &&
                    EVP_DigestUpdate(ctx, IDENTITY_LABEL, sizeof IDENTITY_LABEL) == 1 &&
                    EVP_DigestUpdate(ctx, key, MAIL_AES_KEY_LENGTH) == 1 &&
                    EVP_DigestFinal_ex(ctx, digest, &digest_len) == 1;
    EVP_MD_CTX_free(ctx);
    if (!ok)
        return 1; // still a valid identity; two keys alike in it are told apart by rotation
    const uint32_t value = (uint32_t{digest[0]} << 24) | (uint32_t{digest[1]} << 16) |
                           (uint32_t{digest[2]} << 8) | uint32_t{digest[3]};
    const auto id = static_cast<int32_t>(value);
    return id == NO_KEY_RECORDED ? 1 : id;
}

std::string pendingKeyPath(const std::string &key_path) {
    return key_path + ".new";
}

bool stepRecordedKey(Database &db, sqlite3_stmt *stmt, int32_t *id) {
    const int rc = db.step(stmt);
    if (rc == SQLITE_ROW)
        *id = sqlite3_column_int(stmt, 0);
    sqlite3_reset(stmt);
    if (rc == SQLITE_ROW)
        return true;
    db.retry().log(LOG_ERR, "Unable to read which key the passwords are encrypted under: %s",
                   db.errmsg());
    return false;
}

bool readRecordedKey(Database &db, int32_t *id) {
    Statement stmt(db, RECORDED_KEY_QUERY);
    return stmt && stepRecordedKey(db, stmt.get(), id);
}

bool readKeyAt(int dir_fd, const char *name, unsigned char key[32]) {
    const int fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat st;
    const bool ok = regularFile(fd, &st) && readKeyFd(fd, key);
    const int err = errno;
    close(fd);
    errno = err;
    return ok;
}

symmetric_cipher *passwordCipherFor(int32_t id) {
    KeySlot &current_key = currentKey();
    KeySlot &pending_key = pendingKey();
    if (id != NO_KEY_RECORDED) {
        if (current_key.holds(id))
            return current_key.cipher();
        if (pending_key.holds(id))
            return pending_key.cipher();
    }
    const std::string path = mailAuthKeyGetPath();
    if (!current_key.load(path)) {
        const int err = errno;
        velka_log(LOG_ERR, "Can't read encryption key from '%s': %s (%d)", path.c_str(),
                  strerror(err), err);
        return nullptr;
    }
    if (id == NO_KEY_RECORDED || id == current_key.id())
        return current_key.cipher();
    const std::string pending = pendingKeyPath(path);
    if (pending_key.load(pending) && pending_key.id() == id)
        return pending_key.cipher();
    velka_log(LOG_ERR,
              "Neither '%s' nor '%s' holds the key the database's passwords are encrypted under "
              "(key %08x): restore the key file backed up with the database",
              path.c_str(), pending.c_str(), static_cast<unsigned>(id));
    return nullptr;
}

} // namespace velka::mail::authdb
