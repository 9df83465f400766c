// A read-only SQLite handle that never follows a link, with one-column queries.
#ifndef VELKA_AUTHCHECK_SQLITE_READER_H
#define VELKA_AUTHCHECK_SQLITE_READER_H

#include <sqlite3.h>
#include <string>
#include <vector>

namespace velka::authcheck {

class SqliteReader {
public:
    explicit SqliteReader(const std::string &path);
    ~SqliteReader();
    SqliteReader(const SqliteReader &) = delete;
    SqliteReader &operator=(const SqliteReader &) = delete;

    // SQLite opens lazily: this reads the schema to prove the file is usable.
    bool usable(std::string *error);
    // The first column of every row; false with the error text on failure.
    bool column(const std::string &sql, const std::vector<std::string> &params,
                std::vector<std::string> *rows, std::string *error);
    sqlite3 *handle() const { return db_; }

private:
    sqlite3 *db_ = nullptr;
    int openResult_;
};

} // namespace velka::authcheck

#endif
