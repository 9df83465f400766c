// SQL functions that judge a stored crypt hash inside a query, so that the
// hash never leaves the process that reads the database:
//   velka_crypt_scheme(hash)  Dovecot's name of its scheme, or "unknown"
//   velka_crypt_refused(hash) 1 when Dovecot refuses it by default, else 0
#ifndef VELKA_AUTHCHECK_CRYPT_FUNCTIONS_H
#define VELKA_AUTHCHECK_CRYPT_FUNCTIONS_H

#include <sqlite3.h>

namespace velka::authcheck {

// False when SQLite could not register them.
bool addCryptFunctions(sqlite3 *db);

} // namespace velka::authcheck

#endif
