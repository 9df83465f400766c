// The checks, in the order they run; each appends its lines to results.
#ifndef VELKA_AUTHCHECK_CHECKS_H
#define VELKA_AUTHCHECK_CHECKS_H

#include "authcheck/check_result.h"
#include "authcheck/context.h"

#include <string>

namespace velka::authcheck {

void checkModules(Results &results);
void checkDovecotConfig(Context &ctx, Results &results, bool settingsLibraryPresent);
void checkLayout(Context &ctx, Results &results);
void checkDatabaseFile(Context &ctx, Results &results);
void checkKeyFile(Context &ctx, Results &results);
// Opens the database as the lookups' user: open, integrity, schema, decryption.
void checkDatabaseAsLookupUser(Context &ctx, Results &results);
void checkMaildirRoot(const Context &ctx, Results &results);
void checkCertificates(const Context &ctx, Results &results);
void checkQuotaWarning(const Context &ctx, Results &results);
void reportUser(const Context &ctx, const std::string &address, Results &results);

} // namespace velka::authcheck

#endif
