// init: a new database and key with the layout's owners and modes, refused
// before anything is touched when either file is there already.
#include "admin/commands.h"
#include "admin/report.h"
#include "mail/dovecot/authdb/mail_auth_db.h"
#include "mail/dovecot/authdb/mail_auth_layout.h"

#include <cerrno>
#include <cstring>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

namespace velka::admin {

namespace {

// mailAuthDBInitStyle replaces both files, and a new key alone makes every
// stored password undecryptable: anything at either name, a link or a dangling
// link included, stops init.
bool absent(const std::string &path, std::string *error) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        *error = path + " exists: velka-auth-admin init never replaces a database or a key; keep "
                        "using them, or move both away first to start anew without any account";
        return false;
    }
    if (errno == ENOENT)
        return true;
    *error = "cannot tell whether " + path + " exists: " + strerror(errno);
    return false;
}

// The owners the layout gives its files must exist before they are made.
bool ownersExist(const struct mail_auth_access &access, std::string *error) {
    if (getpwnam(access.user) == nullptr) {
        *error = std::string("user ") + access.user +
                 " does not exist: this layout gives it the database; install its mail "
                 "server first, or name the layout in use with --style";
        return false;
    }
    if (access.group != nullptr && getgrnam(access.group) == nullptr) {
        *error = std::string("group ") + access.group +
                 " does not exist: this layout gives it the database; create it "
                 "(groupadd --system " +
                 access.group + ") first";
        return false;
    }
    return true;
}

} // namespace

int runInit(const AdminContext &ctx) {
    std::string error;
    const struct mail_auth_layout_access *layout = mail_auth_layout_access(ctx.style);
    if (!absent(ctx.databasePath, &error) || !absent(ctx.keyPath, &error) ||
        !ownersExist(layout->directory, &error) || !ownersExist(layout->database, &error) ||
        !ownersExist(layout->key, &error))
        return fail(error);
    if (mailAuthDBInitStyle(ctx.style) != 0)
        return fail("init failed (see the lines above); remove what it made before trying again");
    std::cout << "created the database " << ctx.databasePath << " and its key " << ctx.keyPath
              << "\n";
    return EXIT_OK;
}

} // namespace velka::admin
