// The columns the mail authentication database must have, as its schema script
// creates them.
#include "mail/dovecot/authdb/mail_auth_columns.h"

#include <algorithm>
#include <vector>

namespace velka::mail::authdb {

namespace {

struct Table {
    const char *name;
    std::vector<const char *> columns;
};

const Table REQUIRED[] = {
    {"domains", {"id", "name", "status"}},
    {"users", {"id", "dom_id", "name", "userPassword", "cmusaslsecretPLAIN", "status"}},
};

std::vector<std::string> columnsOf(sqlite3 *db, const char *table) {
    std::vector<std::string> found;
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT name FROM pragma_table_info(?1)", -1, &stmt, nullptr) ==
            SQLITE_OK &&
        sqlite3_bind_text(stmt, 1, table, -1, SQLITE_STATIC) == SQLITE_OK) {
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            const unsigned char *name = sqlite3_column_text(stmt, 0);
            if (name != nullptr)
                found.emplace_back(reinterpret_cast<const char *>(name));
        }
    }
    sqlite3_finalize(stmt);
    return found;
}

} // namespace

std::string missingColumns(sqlite3 *db) {
    std::string missing;
    for (const Table &table : REQUIRED) {
        const std::vector<std::string> found = columnsOf(db, table.name);
        for (const char *column : table.columns) {
            if (std::find(found.begin(), found.end(), column) != found.end())
                continue;
            missing += missing.empty() ? "" : ", ";
            missing += std::string(table.name) + "." + column;
        }
    }
    return missing;
}

} // namespace velka::mail::authdb
