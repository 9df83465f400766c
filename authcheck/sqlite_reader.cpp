#include "authcheck/sqlite_reader.h"

namespace velka::authcheck {

SqliteReader::SqliteReader(const std::string &path) {
    openResult_ =
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (db_ != nullptr)
        sqlite3_busy_timeout(db_, 2000);
}

SqliteReader::~SqliteReader() {
    sqlite3_close(db_);
}

bool SqliteReader::usable(std::string *error) {
    if (openResult_ != SQLITE_OK) {
        *error = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(openResult_);
        return false;
    }
    std::vector<std::string> rows;
    return column("SELECT count(*) FROM sqlite_master", {}, &rows, error);
}

bool SqliteReader::column(const std::string &sql, const std::vector<std::string> &params,
                          std::vector<std::string> *rows, std::string *error) {
    sqlite3_stmt *stmt = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr);
    for (size_t i = 0; rc == SQLITE_OK && i < params.size(); ++i)
        rc = sqlite3_bind_text(stmt, static_cast<int>(i + 1), params[i].c_str(), -1,
                               SQLITE_TRANSIENT);
    while (rc == SQLITE_OK || rc == SQLITE_ROW) {
        rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) {
            const unsigned char *text = sqlite3_column_text(stmt, 0);
            rows->push_back(text ? reinterpret_cast<const char *>(text) : "");
        }
    }
    sqlite3_finalize(stmt);
    if (rc == SQLITE_DONE)
        return true;
    *error = sqlite3_errmsg(db_);
    return false;
}

} // namespace velka::authcheck
