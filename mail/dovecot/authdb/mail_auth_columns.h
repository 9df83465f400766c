// Internal to the library and the tools built with its core: the columns that
// the lookups and the administration of the mail authentication database read
// and write, so that a database can be checked for them before it is relied on.
#ifndef VELKA_MAIL_AUTH_COLUMNS_H
#define VELKA_MAIL_AUTH_COLUMNS_H

#include <sqlite3.h>

#include <string>

namespace velka::mail::authdb {

// "table.column" of each required column that db lacks, separated by ", ";
// empty when it has them all. A table that cannot be read lacks all of its own.
std::string missingColumns(sqlite3 *db);

} // namespace velka::mail::authdb

#endif
