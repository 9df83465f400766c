// Creating the mail authentication database and its key file from scratch, with
// their owners and modes by mail server style.
#include "mail/dovecot/authdb/mail_auth_db.h"

#include "lib/files/file_writing.h"
#include "lib/log/velka_log.h"
#include "lib/util/user_lookup.h"
#include "mail/dovecot/authdb/mail_aes.h"
#include "mail/dovecot/authdb/mail_auth_guard.h"
#include "mail/dovecot/authdb/mail_auth_layout.h"
#include "mail/dovecot/authdb/mail_auth_sqlite.h"
#include "mail/dovecot/authdb/vqa_conf.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include <fcntl.h>
#include <libgen.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace velka::mail::authdb;

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

// How the two files are named in "Unable to re-create Mail Authentication %s".
const char DATABASE_FILE[] = "Database";
const char KEY_FILE[] = "Password Encryption Key";

struct FreeDeleter {
    void operator()(char *p) const { free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

// A copy of path for dirname(), which may change its argument.
CString copyPath(const char *path) {
    CString copy(strdup(path));
    if (!copy) {
        errno = ENOMEM;
        velka_log(LOG_CRIT, "Memory allocation error");
    }
    return copy;
}

bool createParentDirectory(const char *path) {
    CString copy = copyPath(path);
    if (!copy)
        return false;
    const char *dir = dirname(copy.get());
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

// Database, key and their directory may lie in a directory that another user
// can write (the Postfix layout gives it to user postfix), who could put a link
// or another file in their place between two calls. So root names nothing in
// there twice: it opens each file once without following a link, checks what
// it got and works on that descriptor, and new files are written under a fresh
// name and renamed into place.

// A descriptor closed at the end of its scope.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

void refuse(const char *path, const char *what) {
    velka_log(LOG_CRIT, "Refusing to use %s: it is %s", path, what);
}

void logChownFailure(const char *path, uid_t uid, gid_t gid, int err) {
    velka_log(LOG_CRIT, "chown(\"%s\", %d, %d) failed: %s", path, static_cast<int>(uid),
              static_cast<int>(gid), strerror(err));
}

void logRecreateFailure(const char *what, int err) {
    velka_log(LOG_ERR, "Unable to re-create Mail Authentication %s: %s", what, strerror(err));
}

// A directory that no one but root can change: a link found in it was put
// there by root.
bool onlyRootWrites(const char *dir) {
    struct stat st;
    return stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0 &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A file's directory, opened once, and the file's name in it.
class Location {
public:
    explicit Location(const char *path) : path_(path) {}

    // Opens the directory, which may be a link only where root alone could have
    // made it one. A link or a non-directory is refused with a log line; any
    // other failure goes to report(directory, errno) for the caller's message.
    bool open(const std::function<void(const char *, int)> &report) {
        CString dir_copy = copyPath(path_), base_copy = copyPath(path_);
        if (!dir_copy || !base_copy)
            return false;
        const char *dir = dirname(dir_copy.get());
        name_ = basename(base_copy.get());
        dir_.reset(::open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (dir_.get() < 0 && errno == ELOOP) {
            CString parent_copy = copyPath(dir);
            if (parent_copy && onlyRootWrites(dirname(parent_copy.get())))
                dir_.reset(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            else
                errno = ELOOP;
        }
        if (dir_.get() >= 0)
            return true;
        if (errno == ELOOP || errno == ENOTDIR)
            refuse(dir, errno == ELOOP ? "a symbolic link" : "not a directory");
        else
            report(dir, errno);
        return false;
    }

    int dir() const { return dir_.get(); }
    const char *name() const { return name_.c_str(); }
    const char *path() const { return path_; }

private:
    const char *path_;
    std::string name_;
    Descriptor dir_;
};

// Opens the regular file of loc for a change of owner and mode: not a link,
// not a FIFO or device, not a hard link to a file elsewhere. -1 after logging.
int openOwnFile(const Location &loc, uid_t uid, gid_t gid) {
    const int fd =
        openat(loc.dir(), loc.name(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 && errno == ELOOP) {
        refuse(loc.path(), "a symbolic link");
    } else if (fd < 0) {
        // The owner is what would have been changed first.
        logChownFailure(loc.path(), uid, gid, errno);
    } else if (fstat(fd, &st) != 0) {
        velka_log(LOG_CRIT, "fstat(\"%s\") failed: %s", loc.path(), strerror(errno));
    } else if (!S_ISREG(st.st_mode)) {
        refuse(loc.path(), "not a regular file");
    } else if (st.st_nlink != 1) {
        refuse(loc.path(), "a file with more than one name");
    } else {
        return fd;
    }
    if (fd >= 0)
        close(fd);
    return -1;
}

// Owner and mode of an open file. The mode is first narrowed to what both the
// old and the new mode allow, so that neither the old nor the new owner ever
// gets more than the final mode grants, not even between the two steps.
bool setAccess(int fd, const char *path, uid_t uid, gid_t gid, mode_t mode) {
    // A caller that may not change the mode may not change the owner either,
    // and fails there, at the first step it always took.
    struct stat st;
    if (fstat(fd, &st) == 0)
        (void)fchmod(fd, st.st_mode & mode & 07777);
    if (fchown(fd, uid, gid) != 0) {
        logChownFailure(path, uid, gid, errno);
        return false;
    }
    if (fchmod(fd, mode) != 0) {
        velka_log(LOG_CRIT, "chmod(\"%s\", %04o) failed: %s", path, static_cast<unsigned>(mode),
                  strerror(errno));
        return false;
    }
    return true;
}

// Refuses, with a log line, to replace anything at loc's name but a regular file.
bool replaceable(const Location &loc) {
    struct stat st;
    if (fstatat(loc.dir(), loc.name(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISREG(st.st_mode))
        return true;
    refuse(loc.path(), S_ISLNK(st.st_mode) ? "a symbolic link" : "not a regular file");
    return false;
}

// The image of a new, empty database with the schema, built in memory, so
// that SQLite never opens a path in the database's directory for it. Null after
// logging; the caller releases it with sqlite3_free().
unsigned char *schemaImage(sqlite3_int64 *size) {
    BusyRetry retry("mailAuthDBInit");
    Database db(retry);
    sqlite3 *handle = nullptr;
    if (sqlite3_open_v2(":memory:", &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        db.adopt(handle);
        retry.log(LOG_ERR, "Unable to open database %s: %s", mailAuthDBGetPath(), db.errmsg());
        return nullptr;
    }
    db.adopt(handle);
    char *error = nullptr;
    if (db.exec(SCHEMA, &error) != SQLITE_OK) {
        if (error != nullptr) {
            retry.log(LOG_ERR, "Unable to re-create Mail Authentication Database: %s", error);
            sqlite3_free(error);
        } else {
            retry.log(LOG_ERR, "Unable to re-create Mail Authentication Database");
        }
        return nullptr;
    }
    unsigned char *image = sqlite3_serialize(handle, "main", size, 0);
    if (image == nullptr)
        logRecreateFailure(DATABASE_FILE, ENOMEM);
    return image;
}

// A file made anew: its directory opened once (created first when missing), its
// content written in full under a temporary name, and only then renamed into place,
// readable and writable by the caller alone (0600) until its owner and mode are set.
class NewFile {
public:
    // what names the file in "Unable to re-create Mail Authentication %s"; content
    // fills bytes, or logs and returns false.
    NewFile(const char *path, const char *what, std::function<bool(std::string &)> content)
        : loc_(path), what_(what), content_(std::move(content)) {}

    // Opens the directory; false after logging, also when the name is taken by
    // anything but a regular file.
    bool prepare() {
        return createParentDirectory(loc_.path()) &&
               loc_.open([this](const char *, int err) { logRecreateFailure(what_, err); }) &&
               replaceable(loc_);
    }

    bool stage() {
        std::string bytes;
        if (!content_(bytes))
            return false;
        velka::files::Replacement replacement;
        replacement.data = bytes.data();
        replacement.len = bytes.size();
        const std::string temp_template = std::string(".") + loc_.name() + ".XXXXXXXX";
        replacement.temp_template = temp_template.c_str();
        const bool ok = staged_.stage(loc_.dir(), loc_.name(), replacement);
        const int err = errno;
        OPENSSL_cleanse(&bytes[0], bytes.size());
        if (!ok)
            logRecreateFailure(what_, err);
        return ok;
    }

    // A link put in its place after the check is replaced, not followed.
    bool commit() {
        if (!replaceable(loc_))
            return false;
        if (staged_.commit())
            return true;
        logRecreateFailure(what_, errno);
        return false;
    }

private:
    Location loc_;
    const char *what_;
    std::function<bool(std::string &)> content_;
    velka::files::StagedFile staged_;
};

// Makes all files anew or none: every name is checked and every new file written
// before the first one replaces anything, so that a refusal or failure on one of
// them leaves the others as they were.
bool makeAnew(std::initializer_list<NewFile *> files) {
    for (NewFile *file : files)
        if (!file->prepare())
            return false;
    for (NewFile *file : files)
        if (!file->stage())
            return false;
    for (NewFile *file : files)
        if (!file->commit())
            return false;
    return true;
}

bool databaseImage(std::string &bytes) {
    sqlite3_int64 size = 0;
    unsigned char *image = schemaImage(&size);
    if (image == nullptr)
        return false;
    bytes.assign(reinterpret_cast<const char *>(image), static_cast<size_t>(size));
    sqlite3_free(image);
    return true;
}

bool newKey(std::string &bytes) {
    unsigned char key[MAIL_AES_KEY_LENGTH];
    const size_t len = mail_aes_gen_key(key, sizeof(key));
    if (len == 0) {
        velka_log(LOG_CRIT,
                  "Unable to generate new Mail Authentication Password Encryption Key data: %s",
                  strerror(errno));
        return false;
    }
    bytes.assign(reinterpret_cast<const char *>(key), len);
    OPENSSL_cleanse(key, sizeof(key));
    return true;
}

NewFile databaseFile() {
    return NewFile(mailAuthDBGetPath(), DATABASE_FILE, databaseImage);
}

NewFile keyFile() {
    return NewFile(mailAuthKeyGetPath(), KEY_FILE, newKey);
}

} // namespace

int mailAuthDBInit(void) {
    return answerInsteadOfThrowing("mailAuthDBInit", -1, [] {
        NewFile database = databaseFile();
        return makeAnew({&database}) ? 0 : -1;
    });
}

int mailAuthKeyInit(void) {
    return answerInsteadOfThrowing("mailAuthKeyInit", -1, [] {
        NewFile key = keyFile();
        return makeAnew({&key}) ? 0 : -1;
    });
}

int mailAuthDBSetAccess(uid_t db_uid, gid_t db_gid, mode_t db_mode, uid_t dir_uid, gid_t dir_gid,
                        mode_t dir_mode) {
    return answerInsteadOfThrowing("mailAuthDBSetAccess", -1, [&] {
        const char *path = mailAuthDBGetPath();
        CString copy = copyPath(path);
        if (!copy)
            return -1;
        const char *dir = dirname(copy.get());
        if (dir[0] != '/' || dir[1] == '\0') {
            velka_log(LOG_CRIT, "Invalid mail authentication DB path %s", path);
            return -1;
        }
        Location loc(path);
        const auto report = [&](const char *d, int err) {
            logChownFailure(d, dir_uid, dir_gid, err);
        };
        if (!loc.open(report) || !setAccess(loc.dir(), dir, dir_uid, dir_gid, dir_mode))
            return -1;
        Descriptor fd(openOwnFile(loc, db_uid, db_gid));
        return fd.get() >= 0 && setAccess(fd.get(), path, db_uid, db_gid, db_mode) ? 0 : -1;
    });
}

int mailAuthKeySetAccess(uid_t uid, gid_t gid, mode_t mode) {
    return answerInsteadOfThrowing("mailAuthKeySetAccess", -1, [&] {
        const char *path = mailAuthKeyGetPath();
        Location loc(path);
        if (!loc.open([&](const char *, int err) { logChownFailure(path, uid, gid, err); }))
            return -1;
        Descriptor fd(openOwnFile(loc, uid, gid));
        return fd.get() >= 0 && setAccess(fd.get(), path, uid, gid, mode) ? 0 : -1;
    });
}

namespace {

struct Owner {
    uid_t uid;
    gid_t gid;
};

// The ids of a layout's owner names. root is 0 by definition and needs no
// lookup; a missing group would leave the files unreadable to the mail server,
// so that is an error as much as a missing user.
bool ownerOf(const struct mail_auth_access &access, Owner *owner) {
    *owner = {0, 0};
    if (strcmp(access.user, "root") != 0) {
        errno = 0;
        const struct passwd *pw = getpwnam(access.user);
        if (pw == nullptr) {
            velka_log(LOG_CRIT, "Unable to get user id for \"%s\": %s", access.user,
                      errno != 0 ? strerror(errno) : "User not found");
            return false;
        }
        *owner = {pw->pw_uid, pw->pw_gid};
    }
    if (access.group == nullptr)
        return true;
    if (strcmp(access.group, "root") == 0) {
        owner->gid = 0;
        return true;
    }
    char exists = 0;
    owner->gid = get_group_if_exists(access.group, &exists);
    return exists != 0;
}

} // namespace

// Everything that can refuse the set-up is asked before the first file is
// replaced: an existing database is the panel's accounts.
int mailAuthDBInitStyle(int style) {
    return answerInsteadOfThrowing("mailAuthDBInitStyle", -1, [style] {
        mailAuthDBSelectStyle(style);
        const struct mail_auth_layout_access *layout = mail_auth_layout_access(style);
        Owner dir, db, key;
        if (!ownerOf(layout->directory, &dir) || !ownerOf(layout->database, &db) ||
            !ownerOf(layout->key, &key))
            return -1;
        NewFile database = databaseFile();
        NewFile keyFileMade = keyFile();
        if (!makeAnew({&database, &keyFileMade}))
            return -1;
        if (mailAuthDBSetAccess(db.uid, db.gid, layout->database.mode, dir.uid, dir.gid,
                                layout->directory.mode) != 0)
            return -1;
        return mailAuthKeySetAccess(key.uid, key.gid, layout->key.mode);
    });
}
