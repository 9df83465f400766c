// Test-only administration driver of the mail authentication database, run
// inside the Dovecot test bed to prepare accounts for the passdb plug-in:
//
//   authdb_admin STYLE init                 mailAuthDBInitStyle (owners of the style)
//   authdb_admin STYLE create               database and key only, owned by the caller
//   authdb_admin STYLE set MAILNAME DOMAIN PASSWORD [crypt] [user-disabled] [domain-disabled]
//   authdb_admin STYLE set-unencrypted MAILNAME DOMAIN TEXT
//   authdb_admin STYLE disable-domain|enable-domain|remove-domain DOMAIN
//   authdb_admin STYLE rename OLD_MAILNAME NEW_MAILNAME DOMAIN
//
// STYLE is 0 (QMail) or 1 (Postfix) and selects the paths. Prints "result N"
// and exits 0 when N is 0, 1 otherwise, 64 on a usage error.
#include "mail/dovecot/authdb/mail_auth_db.h"

#include "lib/log/velka_log.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void usage() {
    fprintf(stderr, "usage: authdb_admin 0|1 init|create|set|set-unencrypted|"
                    "disable-domain|enable-domain|remove-domain|rename ARGS...\n");
    exit(64);
}

unsigned char flagsOf(int argc, char **argv, int first) {
    unsigned char flags = 0;
    for (int i = first; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "crypt")
            flags |= MAIL_AUTH_FLAG_CRYPT;
        else if (word == "user-disabled")
            flags |= MAIL_AUTH_FLAG_USER_DISABLED;
        else if (word == "domain-disabled")
            flags |= MAIL_AUTH_FLAG_DOMAIN_DISABLED;
        else
            usage();
    }
    return flags;
}

// Stores text in userPassword as it is, the way a password kept without
// encryption looks to the lookups.
int setUnencrypted(const char *mailname, const char *domain, const char *text) {
    if (mailAuthSet(mailname, domain, nullptr, 0) != 0)
        return -1;
    sqlite3 *db = nullptr;
    int rc = sqlite3_open(mailAuthDBGetPath(), &db);
    sqlite3_stmt *stmt = nullptr;
    if (rc == SQLITE_OK)
        rc = sqlite3_prepare_v2(db,
                                "UPDATE users SET userPassword=? WHERE name=LOWER(?) AND "
                                "dom_id=(SELECT id FROM domains WHERE name=LOWER(?))",
                                -1, &stmt, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_bind_text(stmt, 1, text, -1, SQLITE_STATIC);
        sqlite3_bind_text(stmt, 2, mailname, -1, SQLITE_STATIC);
        sqlite3_bind_text(stmt, 3, domain, -1, SQLITE_STATIC);
        rc = sqlite3_step(stmt) == SQLITE_DONE ? SQLITE_OK : SQLITE_ERROR;
    }
    if (rc != SQLITE_OK)
        fprintf(stderr, "authdb_admin: %s\n", sqlite3_errmsg(db));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rc == SQLITE_OK ? 0 : -1;
}

int run(int argc, char **argv) {
    const std::string cmd = argv[2];
    const auto need = [&](int count) {
        if (argc < 3 + count)
            usage();
    };
    if (cmd == "init")
        return mailAuthDBInitStyle(atoi(argv[1]));
    if (cmd == "create")
        return mailAuthDBInit() == 0 && mailAuthKeyInit() == 0 ? 0 : -1;
    if (cmd == "set") {
        need(3);
        return mailAuthSet(argv[3], argv[4], argv[5], flagsOf(argc, argv, 6));
    }
    if (cmd == "set-unencrypted") {
        need(3);
        return setUnencrypted(argv[3], argv[4], argv[5]);
    }
    if (cmd == "rename") {
        need(3);
        return mailAuthRename(argv[3], argv[4], argv[5]);
    }
    need(1);
    if (cmd == "disable-domain")
        return mailAuthDisableDomain(argv[3]);
    if (cmd == "enable-domain")
        return mailAuthEnableDomain(argv[3]);
    if (cmd == "remove-domain")
        return mailAuthRemoveDomain(argv[3]);
    usage();
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3 || (strcmp(argv[1], "0") != 0 && strcmp(argv[1], "1") != 0))
        usage();
    velka_log_init("stderr", 7, 16, 0, "authdb_admin");
    mailAuthDBSelectStyle(atoi(argv[1]));
    const int result = run(argc, argv);
    printf("result %d\n", result);
    return result == 0 ? 0 : 1;
}
