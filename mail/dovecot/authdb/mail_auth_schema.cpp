// Creating the mail authentication database and its key file from scratch, with
// their owners and modes by mail server style, and the process's reference on
// the password cipher.
#include "mail/dovecot/authdb/mail_auth_db.h"

#include "lib/log/velka_log.h"
#include "lib/util/user_lookup.h"
#include "mail/dovecot/authdb/mail_aes.h"
#include "mail/dovecot/authdb/mail_auth_sqlite.h"
#include "mail/dovecot/authdb/vqa_conf.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <libgen.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using velka::mail::authdb::BusyRetry;
using velka::mail::authdb::Database;

namespace
{

const char SCHEMA[] =
    "BEGIN TRANSACTION;\n"
    "CREATE TABLE domains (\n"
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
    "  name VARCHAR(255) UNIQUE,\n"
    "  status INTEGER NOT NULL DEFAULT 0\n"
    ");\n"
    "CREATE INDEX domains_name ON domains(name);\n"
    "CREATE TRIGGER fkd_users_domains_id BEFORE DELETE ON domains FOR EACH ROW BEGIN\n"
    "  DELETE FROM users WHERE dom_id = OLD.id;\n"
    "END;\n"
    "CREATE TABLE users (\n"
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
    "  dom_id INTEGER NOT NULL,\n"
    "  name VARCHAR(255) NOT NULL,\n"
    "  userPassword VARCHAR(255),\n"
    "  cmusaslsecretPLAIN VARCHAR(255),\n"
    "  status INT NOT NULL DEFAULT 0,\n"
    "  UNIQUE(name, dom_id)\n"
    ");\n"
    "CREATE INDEX users_name ON users(name);\n"
    "CREATE INDEX users_dom_id ON users(dom_id);\n"
    "CREATE TRIGGER fki_users_domains_id BEFORE INSERT ON users FOR EACH ROW BEGIN\n"
    "  SELECT RAISE(ROLLBACK, 'insert on table \"users\" violates foreign key constraint "
    "\"fk_domains_id\"')\n"
    "  WHERE (SELECT id FROM domains WHERE id = NEW.dom_id) IS NULL;\n"
    "END;\n"
    "CREATE TRIGGER fku_users_domains_id BEFORE UPDATE ON users FOR EACH ROW BEGIN\n"
    "  SELECT RAISE(ROLLBACK, 'update on table \"users\" violates foreign key constraint "
    "\"fk_domains_id\"')\n"
    "  WHERE (SELECT id FROM domains WHERE id = NEW.dom_id) IS NULL;\n"
    "END;\n"
    "COMMIT;\n";

struct FreeDeleter {
    void operator()(char* p) const { free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

// A copy of path for dirname(), which may change its argument.
CString copyPath(const char* path)
{
    CString copy(strdup(path));
    if (!copy) {
        errno = ENOMEM;
        velka_log(LOG_CRIT, "Memory allocation error");
    }
    return copy;
}

bool createParentDirectory(const char* path)
{
    CString copy = copyPath(path);
    if (!copy)
        return false;
    const char* dir = dirname(copy.get());
    if (dir == nullptr) {
        velka_log(LOG_CRIT, "dirname(%s) failed: %s", path, strerror(errno));
        return false;
    }
    if (!createNestedDirectory(dir)) {
        velka_log(LOG_CRIT, "recursive mkdir(%s) failed: %s", dir, strerror(errno));
        return false;
    }
    return true;
}

bool setOwner(const char* path, uid_t uid, gid_t gid)
{
    if (chown(path, uid, gid) == 0)
        return true;
    velka_log(LOG_CRIT, "chown(\"%s\", %d, %d) failed: %s", path, static_cast<int>(uid),
              static_cast<int>(gid), strerror(errno));
    return false;
}

bool setMode(const char* path, mode_t mode)
{
    if (chmod(path, mode) == 0)
        return true;
    velka_log(LOG_CRIT, "chmod(\"%s\", %04o) failed: %s", path, static_cast<unsigned>(mode),
              strerror(errno));
    return false;
}

bool writeKeyFile(const char* path, const unsigned char* key, size_t len)
{
    const mode_t saved_umask = umask(077);
    FILE* file = fopen(path, "we");
    bool ok = file != nullptr && fwrite(key, len, 1, file) == 1;
    int err = errno;
    // The key reaches the file only when the stream is flushed on closing.
    if (file != nullptr && fclose(file) != 0 && ok) {
        ok = false;
        err = errno;
    }
    umask(saved_umask);
    if (!ok)
        velka_log(LOG_ERR, "Unable to re-create Mail Authentication Password Encryption Key: %s",
                  strerror(err));
    return ok;
}

} // namespace

int mailAuthDBInit(void)
{
    const char* path = mailAuthDBGetPath();
    if (!createParentDirectory(path))
        return -1;
    unlink(path);

    BusyRetry retry(__func__);
    Database db(retry);
    if (!db.openReadWrite())
        return -1;
    char* error = nullptr;
    if (db.exec(SCHEMA, &error) == SQLITE_OK)
        return 0;
    if (error != nullptr) {
        retry.log(LOG_ERR, "Unable to re-create Mail Authentication Database: %s", error);
        sqlite3_free(error);
    } else {
        retry.log(LOG_ERR, "Unable to re-create Mail Authentication Database");
    }
    return -1;
}

int mailAuthKeyInit(void)
{
    const char* path = mailAuthKeyGetPath();
    if (!createParentDirectory(path))
        return -1;
    unlink(path);

    unsigned char key[MAIL_AES_KEY_LENGTH];
    const size_t len = mail_aes_gen_key(key, sizeof(key));
    if (len == 0) {
        velka_log(LOG_CRIT,
                  "Unable to generate new Mail Authentication Password Encryption Key data: %s",
                  strerror(errno));
        return -1;
    }
    const bool ok = writeKeyFile(path, key, len);
    OPENSSL_cleanse(key, sizeof(key));
    return ok ? 0 : -1;
}

int mailAuthDBSetAccess(uid_t db_uid, gid_t db_gid, mode_t db_mode, uid_t dir_uid, gid_t dir_gid,
                        mode_t dir_mode)
{
    const char* path = mailAuthDBGetPath();
    CString copy = copyPath(path);
    if (!copy)
        return -1;
    const char* dir = dirname(copy.get());
    if (dir[0] != '/' || dir[1] == '\0') {
        velka_log(LOG_CRIT, "Invalid mail authentication DB path %s", path);
        return -1;
    }
    if (!setOwner(dir, dir_uid, dir_gid) || !setMode(dir, dir_mode) ||
        !setOwner(path, db_uid, db_gid) || !setMode(path, db_mode))
        return -1;
    return 0;
}

int mailAuthKeySetAccess(uid_t uid, gid_t gid, mode_t mode)
{
    const char* path = mailAuthKeyGetPath();
    return setOwner(path, uid, gid) && setMode(path, mode) ? 0 : -1;
}

int mailAuthDBInitStyle(int style)
{
    mailAuthDBSelectStyle(style);
    if (mailAuthDBInit() != 0 || mailAuthKeyInit() != 0)
        return -1;

    int rc;
    if (style == MAIL_AUTH_STYLE_QMAIL) {
        // A missing group would leave gid 0 in place, so that the files would
        // not be readable by the mail server at all; that is an error too.
        char exists = 0;
        const gid_t nofiles = get_group_if_exists("nofiles", &exists);
        if (!exists)
            return -1;
        rc = mailAuthDBSetAccess(0, nofiles, 0640, 0, nofiles, 0750);
        if (rc == 0)
            rc = mailAuthKeySetAccess(0, nofiles, 0440);
    } else if (style == MAIL_AUTH_STYLE_POSTFIX) {
        errno = 0;
        const struct passwd* pw = getpwnam("postfix");
        if (pw == nullptr) {
            velka_log(LOG_CRIT, "Unable to get user id for \"%s\": %s", "postfix",
                      errno != 0 ? strerror(errno) : "User not found");
            return -1;
        }
        const uid_t uid = pw->pw_uid;
        const gid_t gid = pw->pw_gid;
        rc = mailAuthDBSetAccess(uid, 0, 0460, uid, gid, 0770);
        if (rc == 0)
            rc = mailAuthKeySetAccess(uid, 0, 0440);
    } else {
        rc = mailAuthDBSetAccess(0, 0, 0600, 0, 0, 0750);
        if (rc == 0)
            rc = mailAuthKeySetAccess(0, 0, 0400);
    }
    return rc;
}

int mailPasswdCipherInit(void)
{
    if (mail_aes_init(mailAuthKeyGetPath()))
        return 0;
    velka_log(LOG_ERR, "Failed to initialize password cipher context");
    return -1;
}

bool mailPasswdCipherCleanup(void)
{
    return mail_aes_cleanup();
}
