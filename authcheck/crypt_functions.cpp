#include "authcheck/crypt_functions.h"
#include "mail/dovecot/authdb/mail_auth_crypt_scheme.h"

namespace velka::authcheck {

namespace {

const char *hashArgument(sqlite3_value **argv) {
    return reinterpret_cast<const char *>(sqlite3_value_text(argv[0]));
}

void cryptScheme(sqlite3_context *context, int, sqlite3_value **argv) {
    sqlite3_result_text(context, mail_auth_crypt_scheme(hashArgument(argv)), -1, SQLITE_STATIC);
}

void cryptRefused(sqlite3_context *context, int, sqlite3_value **argv) {
    sqlite3_result_int(context, mail_auth_crypt_scheme_refused(hashArgument(argv)) ? 1 : 0);
}

} // namespace

bool addCryptFunctions(sqlite3 *db) {
    const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
    return sqlite3_create_function(db, "velka_crypt_scheme", 1, flags, nullptr, cryptScheme,
                                   nullptr, nullptr) == SQLITE_OK &&
           sqlite3_create_function(db, "velka_crypt_refused", 1, flags, nullptr, cryptRefused,
                                   nullptr, nullptr) == SQLITE_OK;
}

} // namespace velka::authcheck
