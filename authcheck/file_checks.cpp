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

} // namespace

void checkDatabaseFile(Context &ctx, Results &results) {
    const struct mail_auth_layout_access *access = mail_auth_layout_access(ctx.style);
    CheckResult dir =
        accessCheck("database.file", directoryOf(ctx.databasePath), S_IFDIR, access->directory);
    CheckResult db = accessCheck("database.file", ctx.databasePath, S_IFREG, access->database);
    if (dir.status > db.status)
        db.status = dir.status;
    db.message = dir.message + "; " + db.message;
    results.push_back(db);
}

void checkKeyFile(Context &ctx, Results &results) {
    CheckResult key =
        accessCheck("key.file", ctx.keyPath, S_IFREG, mail_auth_layout_access(ctx.style)->key);
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
