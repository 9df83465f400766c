// SQLite's unix VFS opens the database and its journal, WAL and shared-memory files by
// name through a replaceable system call table. The guard replaces "open" in it with
// one that, for the database's files and only while one of our operations runs, adds
// O_NOFOLLOW and O_NONBLOCK and checks on the descriptor what it got. The table is
// process-wide (the Dovecot process may use SQLite for other databases), so the
// original is called for every other name and put back when the library is unloaded.
#include "mail/dovecot/authdb/mail_auth_file_guard.h"

#include "lib/log/velka_log.h"
#include "mail/dovecot/authdb/mail_auth_db.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace velka::mail::authdb {

namespace {

using OpenCall = int (*)(const char *, int, int);

sqlite3_vfs *guarded_vfs = nullptr;
sqlite3_syscall_ptr original_open = nullptr;
int guards = 0;              // FileGuards alive
std::string database_name;   // the database file's name, without its directory
bool refusal_logged = false; // one refusal line per operation is enough

const char *baseName(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// The database file itself or one that SQLite names after it.
bool isDatabaseFile(const char *path) {
    return guards > 0 && !database_name.empty() &&
           strncmp(baseName(path), database_name.c_str(), database_name.size()) == 0;
}

void refuse(const char *path, const char *what) {
    if (refusal_logged)
        return;
    refusal_logged = true;
    velka_log(LOG_ERR, "Refusing to use %s: it is %s", path, what);
}

int guardedOpen(const char *path, int flags, int mode) {
    const OpenCall open_file = reinterpret_cast<OpenCall>(original_open);
    if (!isDatabaseFile(path))
        return open_file(path, flags, mode);
    const int fd = open_file(path, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, mode);
    if (fd < 0) {
        // A FIFO without a reader, opened for writing, fails with ENXIO.
        if (errno == ELOOP || errno == ENXIO || errno == EISDIR) {
            const int err = errno;
            refuse(path, err == ELOOP ? "a symbolic link" : "not a regular file");
            errno = err;
        }
        return fd;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        refuse(path, "not a regular file");
        close(fd);
        // EISDIR keeps SQLite from trying once more read-only.
        errno = EISDIR;
        return -1;
    }
    if ((flags & O_NONBLOCK) == 0)
        (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

void install() {
    if (guarded_vfs != nullptr)
        return;
    sqlite3_vfs *vfs = sqlite3_vfs_find(nullptr);
    if (vfs == nullptr || vfs->iVersion < 3 || vfs->xGetSystemCall == nullptr ||
        vfs->xSetSystemCall == nullptr)
        return;
    sqlite3_syscall_ptr current = vfs->xGetSystemCall(vfs, "open");
    if (current == nullptr ||
        vfs->xSetSystemCall(vfs, "open", reinterpret_cast<sqlite3_syscall_ptr>(guardedOpen)) !=
            SQLITE_OK)
        return;
    guarded_vfs = vfs;
    original_open = current;
}

// SQLite may stay loaded after this library (Dovecot unloads its modules): its table
// must not keep a pointer into unmapped code.
struct Uninstaller {
    ~Uninstaller() {
        if (guarded_vfs != nullptr)
            guarded_vfs->xSetSystemCall(guarded_vfs, "open", original_open);
    }
} uninstaller;

} // namespace

FileGuard::FileGuard() {
    if (guards++ > 0)
        return;
    install();
    database_name = baseName(mailAuthDBGetPath());
    refusal_logged = false;
}

FileGuard::~FileGuard() {
    --guards;
}

} // namespace velka::mail::authdb
