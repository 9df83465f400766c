// The database and key files as files: present, owners and modes, key size.
#include "authcheck/checks.h"
#include "authcheck/files.h"
#include "mail/dovecot/authdb/mail_aes.h"
#include "mail/dovecot/authdb/mail_auth_layout.h"

#include <libgen.h>

namespace velka::authcheck {

namespace {

std::string directoryOf(const std::string &path) {
    std::string copy = path;
    return dirname(copy.data());
}

// Worst of the two findings, both named in the message.
CheckResult accessCheck(const std::string &id, const std::string &path, mode_t type,
                        const struct mail_auth_access &expected) {
    struct stat st;
    if (auto error = lstatAs(path, type, &st))
        return {id, Status::Failure, path + " is " + *error};
    std::string finding;
    Status status = compareAccess(st, expected, &finding);
    std::string advice = status == Status::Failure   ? ": open to more than the panel allows, "
                                                       "restore the expected owner and mode"
                         : status == Status::Warning ? ": not as the panel makes it"
                                                     : "";
    return {id, status, path + " " + finding + advice};
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The database and its key are made together and belong together: a new key
// cannot decrypt the passwords stored under the old one, and velka-auth-admin
// init refuses to run while either exists.
std::string adviceForMissing(bool key, const Context &ctx) {
    if (!exists(key ? ctx.databasePath : ctx.keyPath))
        return ": with neither database nor key, velka-auth-admin init creates both";
    if (key)
        return ": restore the key from the backup taken with the database; a new key cannot "
               "decrypt the stored passwords";
    return ": restore the database from the backup taken with the key";
}

} // namespace

void checkDatabaseFile(Context &ctx, Results &results) {
    const struct mail_auth_layout_access *access = mail_auth_layout_access(ctx.style);
    CheckResult dir =
        accessCheck("database.file", directoryOf(ctx.databasePath), S_IFDIR, access->directory);
    CheckResult db = accessCheck("database.file", ctx.databasePath, S_IFREG, access->database);
    if (!exists(ctx.databasePath))
        db.message += adviceForMissing(false, ctx);
    if (dir.status > db.status)
        db.status = dir.status;
    db.message = dir.message + "; " + db.message;
    results.push_back(db);
}

void checkKeyFile(Context &ctx, Results &results) {
    CheckResult key =
        accessCheck("key.file", ctx.keyPath, S_IFREG, mail_auth_layout_access(ctx.style)->key);
    if (!exists(ctx.keyPath))
        key.message += adviceForMissing(true, ctx);
    struct stat st;
    if (!lstatAs(ctx.keyPath, S_IFREG, &st)) {
        if (st.st_size != MAIL_AES_KEY_LENGTH) {
            key.status = Status::Failure;
            key.message += "; " + std::to_string(st.st_size) + " bytes instead of " +
                           std::to_string(MAIL_AES_KEY_LENGTH) +
                           ": restore the key that belongs to the database";
        } else {
            ctx.keyUsable = true;
        }
    }
    results.push_back(key);
}

} // namespace velka::authcheck
