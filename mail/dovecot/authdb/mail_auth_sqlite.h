// Internal to the mail authentication database: SQLite handles and statements
// under the busy-retry rule, shared by lookups, administration and the schema.
#ifndef VELKA_MAIL_AUTH_SQLITE_H
#define VELKA_MAIL_AUTH_SQLITE_H

#include "mail/dovecot/authdb/mail_auth_file_guard.h"

#include <sqlite3.h>
#include <syslog.h>

#include <cstdint>
#include <initializer_list>
#include <new>
#include <string>
#include <type_traits>

namespace velka::mail::authdb {

// Returned instead of an SQLite result code when an operation has given up
// waiting for the lock; the reason is logged already.
constexpr int GAVE_UP = -1;

// The busy-retry rule for one operation (one exported call), across all the
// handles it opens. A call answering SQLITE_BUSY is repeated: the first time at
// once, then after a pause that starts at 10 microseconds and grows by 10 with
// each repetition. The operation gives up when the pause cannot be slept or when
// its waits add up to MAIL_AUTH_BUSY_LIMIT_MSEC; from then on it logs nothing
// more, so that the give-up line stays its only one.
class BusyRetry {
public:
    // operation names the exported call in log lines; it must outlive this.
    explicit BusyRetry(const char *operation) : operation_(operation) {}
    BusyRetry(const BusyRetry &) = delete;
    BusyRetry &operator=(const BusyRetry &) = delete;

    // Runs call() under the rule; reset() runs before each repetition. The first
    // try is always made, also after the operation has given up (so that handles
    // still close), but it is no longer repeated.
    template <typename Call, typename Reset> int run(Call call, Reset reset) {
        const int64_t started = now();
        int rc = call();
        if (rc != SQLITE_BUSY)
            return rc;
        if (gave_up_)
            return GAVE_UP;
        for (unsigned repetition = 0; rc == SQLITE_BUSY; ++repetition) {
            if (!pause(repetition, started))
                return GAVE_UP;
            reset();
            rc = call();
        }
        waited_ += now() - started;
        return rc;
    }

    template <typename Call> int run(Call call) {
        return run(call, [] {});
    }

    // velka_log(), unless the operation has given up.
    void log(int priority, const char *format, ...) __attribute__((format(printf, 3, 4)));

    bool gaveUp() const { return gave_up_; }
    const char *operation() const { return operation_; }

private:
    static int64_t now();
    // Sleeps before a repetition; false after logging when the operation gives
    // up. started is when the first, busy call began: SQLite's own busy timeout
    // counts as waiting too.
    bool pause(unsigned repetition, int64_t started);

    const char *operation_;
    int64_t waited_ = 0; // nanoseconds spent on busy calls and pauses so far
    bool gave_up_ = false;
};

// How a parameter's failed bind is logged: "Unable to bind parameter <what>
// to SQL statement for query '<sql>': <error>". Some of these lines have always
// had two spaces before "SQL"; they stay as the panel's log readers know them.
enum class Spacing { Single, Double };

// What the log calls a parameter, worked out only when its bind fails: a lookup
// must not pay for (or fail on) log text that is almost never written. It keeps a
// copy of a small lambda that captures by value and returns the text.
class Description {
public:
    template <typename Describe> Description(Describe describe) : call_(&run<Describe>) {
        static_assert(sizeof(Describe) <= sizeof(storage_) &&
                          std::is_trivially_copyable_v<Describe>,
                      "capture a few pointers or numbers by value");
        new (storage_) Describe(describe);
    }
    std::string operator()() const { return call_(storage_); }

private:
    template <typename Describe> static std::string run(const void *describe) {
        return (*static_cast<const Describe *>(describe))();
    }

    alignas(void *) unsigned char storage_[3 * sizeof(void *)];
    std::string (*call_)(const void *);
};

// A value for one statement parameter, and what the log calls it.
struct Parameter {
    Parameter(const char *text, Description what, Spacing spacing = Spacing::Single)
        : text(text), what(what), spacing(spacing) {}
    // The first length bytes of text.
    Parameter(const char *text, int length, Description what)
        : text(text), length(length), what(what), spacing(Spacing::Single) {}
    Parameter(sqlite3_int64 number, Description what, Spacing spacing = Spacing::Single)
        : is_text(false), number(number), what(what), spacing(spacing) {}

    bool is_text = true;
    const char *text = nullptr; // bound without a copy: it must outlive the step
    int length = -1;            // of text; -1 up to its end
    sqlite3_int64 number = 0;
    Description what;
    Spacing spacing;
};

// printf into a string, for a Parameter's what.
std::string describe(const char *format, ...) __attribute__((format(printf, 1, 2)));

// One SQLite handle of an operation. Every SQLite call that can answer
// SQLITE_BUSY goes through the operation's BusyRetry; the destructor finalises
// nothing but closes the handle (under the rule) when it is still open. SQLite
// opens the database's files under a FileGuard while the handle exists.
class Database {
public:
    explicit Database(BusyRetry &retry) : retry_(retry) {}
    ~Database() { close(); }
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    // Open the current database path and set the busy timeout. On failure the
    // message ("Unable to open database%s %s: %s") is logged and the handle closed.
    bool openReadOnly();
    bool openReadWrite();

    // sqlite3_prepare_v2; on failure logs "Unable to prepare SQL statement for
    // query '%s': %s" and returns null.
    sqlite3_stmt *prepare(const char *sql);
    // sqlite3_step, with sqlite3_reset before each repetition.
    int step(sqlite3_stmt *stmt);
    int exec(const char *sql, char **errmsg);
    // Binds parameters to stmt, prepared from sql, in order from the first;
    // false after logging the first that fails.
    bool bind(sqlite3_stmt *stmt, const char *sql, std::initializer_list<Parameter> parameters);
    // Finalises stmt (null allowed) and returns null.
    sqlite3_stmt *finalize(sqlite3_stmt *stmt);
    // Closes the handle; a no-op once closed.
    void close();
    // Takes over an open handle (after closing its own), or gives its handle up
    // without closing it; both for a handle kept between operations.
    void adopt(sqlite3 *db) {
        close();
        db_ = db;
    }
    sqlite3 *release() {
        sqlite3 *db = db_;
        db_ = nullptr;
        return db;
    }

    // SQLite's message for the handle, or "general DB errror" without one.
    const char *errmsg() const;
    sqlite3 *handle() const { return db_; }
    BusyRetry &retry() const { return retry_; }

private:
    bool open(int flags, const char *what);

    FileGuard guard_;
    BusyRetry &retry_;
    sqlite3 *db_ = nullptr;
};

// A statement prepared on a Database, finalised when it goes out of scope
// (before its Database, which is declared first).
class Statement {
public:
    Statement(Database &db, const char *sql) : db_(db), sql_(sql), stmt_(db.prepare(sql)) {}
    ~Statement() { db_.finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    // False when preparing failed (and was logged).
    explicit operator bool() const { return stmt_ != nullptr; }
    sqlite3_stmt *get() const { return stmt_; }
    const char *sql() const { return sql_; }

    // As Database::bind.
    bool bind(std::initializer_list<Parameter> parameters) {
        return db_.bind(stmt_, sql_, parameters);
    }
    int step() { return db_.step(stmt_); }

private:
    Database &db_;
    const char *sql_;
    sqlite3_stmt *stmt_;
};

// A writer that dies in its commit leaves a hot journal, which only a handle that
// may write can roll back: read-only lookups fail on it ("attempt to write a
// readonly database") until the next write. When the database has a journal and
// this process may write the database, opens it for writing once, which rolls a
// hot journal back (and leaves a live writer's alone); otherwise does nothing.
void rollBackHotJournal(BusyRetry &retry);

// A write transaction on a Database: BEGIN IMMEDIATE, so that what the
// operation reads in it stays true until it commits; rolled back unless
// committed. Both ends wait under the busy-retry rule.
class WriteTransaction {
public:
    explicit WriteTransaction(Database &db) : db_(db) { open_ = run("BEGIN IMMEDIATE"); }
    ~WriteTransaction() {
        if (open_)
            run("ROLLBACK");
    }
    WriteTransaction(const WriteTransaction &) = delete;
    WriteTransaction &operator=(const WriteTransaction &) = delete;

    // False when it could not begin (logged).
    explicit operator bool() const { return open_; }
    // False after logging; the transaction is then rolled back.
    bool commit();

private:
    bool run(const char *sql);

    Database &db_;
    bool open_ = false;
};

} // namespace velka::mail::authdb

#endif
