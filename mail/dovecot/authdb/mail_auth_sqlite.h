// Internal to the mail authentication database: SQLite handles under the
// busy-retry rule, and the password cipher wrapper shared by lookups and writes
// (C++), and what the plug-in's C glue asks of a lookup (C).
#ifndef VELKA_MAIL_AUTH_SQLITE_H
#define VELKA_MAIL_AUTH_SQLITE_H

#include <sqlite3.h>
#include <stdbool.h>
#include <syslog.h>

#ifdef __cplusplus
#include <cstdint>

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

// One SQLite handle of an operation. Every SQLite call that can answer
// SQLITE_BUSY goes through the operation's BusyRetry; the destructor finalises
// nothing but closes the handle (under the rule) when it is still open.
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

    BusyRetry &retry_;
    sqlite3 *db_ = nullptr;
};

} // namespace velka::mail::authdb

// Encrypts (mode 1) or decrypts (mode 0) one password with the password cipher
// under the key file's key, taking and releasing a cipher reference around it.
// mailname and domain only name the account in log lines (domain may be null).
// A new string, to be released with free(), or null after logging.
char *mail_auth_password_crypt(const char *text, int mode, const char *mailname,
                               const char *domain);

extern "C" {
#endif

/* For the plug-in's account callback, during the call: whether password is
 * the stored text of an encrypted password that failed to decrypt, which the
 * lookup passes on as stored, rather than a password that merely begins like
 * one. Told by the pointer, not by the text. Not exported. */
bool mail_auth_password_undecrypted(const char *password);

#ifdef __cplusplus
}
#endif

#endif
