// SQLite handles and statements of the mail authentication database and the
// busy-retry rule that every call on them follows.
#include "mail/dovecot/authdb/mail_auth_sqlite.h"

#include "lib/log/velka_log.h"
#include "mail/dovecot/authdb/mail_auth_db.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace velka::mail::authdb {

namespace {

// SQLite's own wait on a locked database within one call. The retries around it
// make up the rest of the wait, so that the bound on the whole applies.
constexpr int BUSY_TIMEOUT_MSEC = 50;
constexpr int64_t PAUSE_STEP_NSEC = 10000;
constexpr int64_t BUSY_LIMIT_NSEC = int64_t{MAIL_AUTH_BUSY_LIMIT_MSEC} * 1000000;

} // namespace

int64_t BusyRetry::now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

bool BusyRetry::pause(unsigned repetition, int64_t started) {
    int64_t waited = waited_ + (now() - started);
    if (waited < BUSY_LIMIT_NSEC) {
        if (repetition == 0)
            return true;
        // A pause of a second or more is refused by nanosleep (EINVAL), which
        // ends the retries as a failed sleep does.
        struct timespec ts = {0, static_cast<long>(repetition * PAUSE_STEP_NSEC)};
        if (nanosleep(&ts, nullptr) == 0)
            return true;
        int err = errno;
        waited = waited_ + (now() - started);
        velka_log(
            LOG_ERR,
            "%s: gave up waiting for the locked mail authentication database after %.3f s: %s",
            operation_, waited / 1e9, strerror(err));
    } else {
        velka_log(LOG_ERR,
                  "%s: gave up waiting for the locked mail authentication database after %.3f s",
                  operation_, waited / 1e9);
    }
    waited_ = waited;
    gave_up_ = true;
    return false;
}

void BusyRetry::log(int priority, const char *format, ...) {
    if (gave_up_)
        return;
    va_list args;
    va_start(args, format);
    velka_logv(priority, format, args);
    va_end(args);
}

bool Database::open(int flags, const char *what) {
    const char *path = mailAuthDBGetPath();
    if (sqlite3_open_v2(path, &db_, flags, nullptr) != SQLITE_OK) {
        retry_.log(LOG_ERR, "Unable to open database%s %s: %s", what, path, errmsg());
        close();
        return false;
    }
    sqlite3_busy_timeout(db_, BUSY_TIMEOUT_MSEC);
    return true;
}

// Root works in a directory that the mail system's user may write: a link swapped
// in at the database's name must send neither lookups nor writes to another file.
// SQLite resolves links in the name before its own opens, so that only it can tell.
bool Database::openReadOnly() {
    return open(SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, "(readonly)");
}

bool Database::openReadWrite() {
    return open(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW, "");
}

sqlite3_stmt *Database::prepare(const char *sql) {
    sqlite3_stmt *stmt = nullptr;
    int rc = retry_.run([&] { return sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr); });
    if (rc == SQLITE_OK)
        return stmt;
    retry_.log(LOG_ERR, "Unable to prepare SQL statement for query '%s': %s", sql, errmsg());
    return finalize(stmt);
}

int Database::step(sqlite3_stmt *stmt) {
    return retry_.run([&] { return sqlite3_step(stmt); }, [&] { sqlite3_reset(stmt); });
}

int Database::exec(const char *sql, char **errmsg) {
    return retry_.run([&] { return sqlite3_exec(db_, sql, nullptr, nullptr, errmsg); },
                      [&] {
                          if (errmsg != nullptr) {
                              sqlite3_free(*errmsg);
                              *errmsg = nullptr;
                          }
                          // A script stopped by the lock may have left its own
                          // transaction open; it starts over from the beginning.
                          if (!sqlite3_get_autocommit(db_))
                              sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
                      });
}

sqlite3_stmt *Database::finalize(sqlite3_stmt *stmt) {
    sqlite3_finalize(stmt);
    return nullptr;
}

void Database::close() {
    if (db_ == nullptr)
        return;
    if (retry_.run([&] { return sqlite3_close(db_); }) != SQLITE_OK) {
        // Only a statement left unfinalised keeps a handle open; let SQLite
        // close it with that statement rather than leak the descriptor.
        sqlite3_close_v2(db_);
    }
    db_ = nullptr;
}

const char *Database::errmsg() const {
    return db_ != nullptr ? sqlite3_errmsg(db_) : "general DB errror";
}

std::string describe(const char *format, ...) {
    va_list args;
    va_start(args, format);
    char *text = nullptr;
    const int len = vasprintf(&text, format, args);
    va_end(args);
    if (len < 0)
        return std::string();
    std::string result(text, static_cast<size_t>(len));
    free(text);
    return result;
}

bool Database::bind(sqlite3_stmt *stmt, const char *sql,
                    std::initializer_list<Parameter> parameters) {
    int index = 0;
    for (const Parameter &p : parameters) {
        ++index;
        const int rc = p.is_text ? sqlite3_bind_text(stmt, index, p.text, p.length, SQLITE_STATIC)
                                 : sqlite3_bind_int64(stmt, index, p.number);
        if (rc == SQLITE_OK)
            continue;
        retry_.log(LOG_ERR, "Unable to bind parameter %s to%sSQL statement for query '%s': %s",
                   p.what().c_str(), p.spacing == Spacing::Double ? "  " : " ", sql, errmsg());
        return false;
    }
    return true;
}

void rollBackHotJournal(BusyRetry &retry) {
    const char *path = mailAuthDBGetPath();
    const std::string journal = std::string(path) + "-journal";
    struct stat st;
    if (lstat(journal.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0 ||
        access(path, W_OK) != 0)
        return;
    Database db(retry);
    if (db.openReadWrite())
        sqlite3_exec(db.handle(), "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
}

bool WriteTransaction::commit() {
    if (!open_)
        return false;
    if (run("COMMIT")) {
        open_ = false;
        return true;
    }
    return false;
}

// Not Database::exec: a repetition of COMMIT must find its transaction still open.
bool WriteTransaction::run(const char *sql) {
    sqlite3 *db = db_.handle();
    const int rc =
        db_.retry().run([&] { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); });
    if (rc == SQLITE_OK)
        return true;
    db_.retry().log(LOG_ERR, "Unable to execute %s: %s", sql, db_.errmsg());
    return false;
}

} // namespace velka::mail::authdb
