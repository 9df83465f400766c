// Helpers of the mail authentication database tests: a scratch database with
// its key, direct SQL on it, and running test code in a child process.
#ifndef VELKA_TESTS_AUTHDB_TEST_MAIL_AUTH_SUPPORT_H
#define VELKA_TESTS_AUTHDB_TEST_MAIL_AUTH_SUPPORT_H

#include "mail/dovecot/authdb/mail_auth_db.h"
#include "tests/authdb/test_support.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>

#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// LogCapture that also catches what is logged through velka_logv.
class MailAuthLog : public LogCapture {
public:
    MailAuthLog() : saved_(velka_logv) { velka_logv = &MailAuthLog::record; }
    ~MailAuthLog() { velka_logv = saved_; }

private:
    static void record(int priority, const char *format, va_list args) {
        char buf[8192];
        vsnprintf(buf, sizeof buf, format, args);
        lines().push_back({priority, buf});
    }

    decltype(velka_logv) saved_;
};

// A new, empty database and key in a scratch directory, selected as the
// process's paths for the lifetime of the fixture.
class MailAuthDbTest : public ::testing::Test {
protected:
    void SetUp() override {
        db_path = dir.file("auth/passwd.db");
        key_path = dir.file("auth/passwd_db_key");
        mailAuthDBSetPath(db_path.c_str());
        mailAuthKeySetPath(key_path.c_str());
        ASSERT_EQ(mailAuthDBInit(), 0);
        ASSERT_EQ(mailAuthKeyInit(), 0);
    }
    void TearDown() override {
        mailAuthDBSetPath(nullptr);
        mailAuthKeySetPath(nullptr);
    }

    // Runs SQL directly on the database; returns SQLite's message or "".
    std::string sql(const std::string &text) {
        sqlite3 *db = nullptr;
        sqlite3_open(db_path.c_str(), &db);
        char *error = nullptr;
        sqlite3_exec(db, text.c_str(), nullptr, nullptr, &error);
        std::string message = error != nullptr ? error : "";
        sqlite3_free(error);
        sqlite3_close(db);
        return message;
    }

    // The first column of the first row of a query, "<null>" or "<none>".
    std::string value(const std::string &query) {
        sqlite3 *db = nullptr;
        sqlite3_open(db_path.c_str(), &db);
        sqlite3_stmt *stmt = nullptr;
        std::string result = "<none>";
        if (sqlite3_prepare_v2(db, query.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            const unsigned char *text = sqlite3_column_text(stmt, 0);
            result = text != nullptr ? reinterpret_cast<const char *>(text) : "<null>";
        }
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return result;
    }

    // Another database holding one account, renamed over this one (with the
    // same key), as the panel replaces or restores the file.
    void replaceDatabase(const char *mailname, const char *domain, const char *password) {
        const std::string other = dir.file("auth/other.db");
        mailAuthDBSetPath(other.c_str());
        ASSERT_EQ(mailAuthDBInit(), 0);
        ASSERT_EQ(mailAuthSet(mailname, domain, password, 0), 0);
        mailAuthDBSetPath(db_path.c_str());
        ASSERT_EQ(rename(other.c_str(), db_path.c_str()), 0);
    }

    ScratchDir dir;
    std::string db_path;
    std::string key_path;
};

// One account as a lookup delivered it.
struct Account {
    std::string password;
    unsigned flags;
    bool operator==(const Account &o) const { return password == o.password && flags == o.flags; }
};
using Accounts = std::map<std::string, Account>;

// A callback that records every account and answers 1 (go on).
inline int collectAccount(const char *address, const char *password, unsigned char flags,
                          void *data) {
    (*static_cast<Accounts *>(data))[address] = Account{password, flags};
    return 1;
}

// What a single-account lookup delivered; answer is what the callback returns.
struct Found {
    int calls = 0;
    std::string address;
    Account account{};
    int answer = 0;
};

inline int recordFound(const char *address, const char *password, unsigned char flags, void *data) {
    Found *found = static_cast<Found *>(data);
    found->calls++;
    found->address = address;
    found->account = Account{password, flags};
    return found->answer;
}

inline Found check(const char *address, int *rc = nullptr) {
    Found found;
    const int result = mailAuthCheck(address, recordFound, &found);
    if (rc != nullptr)
        *rc = result;
    return found;
}

// The password a lookup of address delivers, or "<rc N>" when it delivers none.
inline std::string passwordOf(const char *address) {
    Accounts found;
    const int rc = mailAuthCheck(address, collectAccount, &found);
    if (rc < 0 || found.size() != 1)
        return "<rc " + std::to_string(rc) + ">";
    return found.begin()->second.password;
}

// Every account of the database, by address; empty when the walk fails.
inline Accounts allAccounts() {
    Accounts accounts;
    if (mailAuthIterateAll(collectAccount, &accounts) < 0)
        accounts.clear();
    return accounts;
}

// Starts body in a child process that exits with its result; the caller reaps
// it. -1 when fork fails.
inline pid_t spawn(const std::function<int()> &body) {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    return pid;
}

// The exit status of child pid, once it has ended; -1 when it did not exit.
inline int reap(pid_t pid) {
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Runs body in a child process, whose answer ("" for success, else what went
// wrong) comes back through a pipe; a child that dies says so.
inline std::string inChild(const std::function<std::string()> &body) {
    int fds[2];
    if (pipe(fds) != 0)
        return "pipe failed";
    const pid_t pid = spawn([&] {
        close(fds[0]);
        std::string answer;
        try {
            answer = body();
        } catch (const std::exception &e) {
            answer = std::string("exception: ") + e.what();
        }
        ssize_t ignored = write(fds[1], answer.data(), answer.size());
        (void)ignored;
        return 0;
    });
    close(fds[1]);
    std::string answer = pid < 0 ? "fork failed" : "";
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        answer.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    const int status = reap(pid);
    if (pid >= 0 && status != 0)
        answer += " (child ended with status " + std::to_string(status) + ")";
    return answer;
}

// Ends a test on the answer of a child: skipped for "SKIP reason" (the child
// could not set up what the test needs), passed for "", failed otherwise. The
// answer may be a call with a whole lambda, commas and all.
#define EXPECT_CHILD_ANSWER(...)                                                                   \
    do {                                                                                           \
        const std::string child_answer = (__VA_ARGS__);                                            \
        if (child_answer.rfind("SKIP ", 0) == 0)                                                   \
            GTEST_SKIP() << child_answer.substr(5);                                                \
        EXPECT_EQ(child_answer, "");                                                               \
    } while (0)

// "" when path has that owner and mode, else a line saying what it has.
inline std::string checkFile(const std::string &path, uid_t uid, gid_t gid, mode_t mode) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return path + ": " + strerror(errno) + "\n";
    if (st.st_uid == uid && st.st_gid == gid && (st.st_mode & 07777) == mode)
        return "";
    char buf[512];
    snprintf(buf, sizeof buf, "%s: %u:%u %04o, expected %u:%u %04o\n", path.c_str(), st.st_uid,
             st.st_gid, st.st_mode & 07777, uid, gid, mode);
    return buf;
}

inline std::string bindCopyWith(const std::string &system_file, const std::string &copy,
                                const std::string &extra) {
    writeFile(copy, readFile(system_file) + extra);
    if (mount(copy.c_str(), system_file.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return "bind mount over " + system_file + ": " + strerror(errno);
    return "";
}

// For a child process that runs as root (see inChild): a private mount
// namespace in which the user "postfix" (uid 4711, group 4712) and the group
// "nofiles" (4713) exist in bind-mounted copies of the password and group
// files, and /var/lib and /var/spool are empty tmpfs mounts. Nothing of it
// reaches the host. "" or what failed.
inline std::string privateSystemWithPostfix(const ScratchDir &dir) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("private mount namespace: ") + strerror(errno);
    std::string error = bindCopyWith("/etc/passwd", dir.file("passwd"),
                                     "postfix:x:4711:4712::/var/spool/postfix:/usr/sbin/nologin\n");
    if (error.empty())
        error = bindCopyWith("/etc/group", dir.file("group"), "postfix:x:4712:\nnofiles:x:4713:\n");
    for (const char *tmp : {"/var/lib", "/var/spool"})
        if (error.empty() && mount("tmpfs", tmp, "tmpfs", 0, "mode=0755") != 0)
            error = std::string("tmpfs on ") + tmp + ": " + strerror(errno);
    return error;
}

// Runs body in a child (inChild) inside privateSystemWithPostfix; "SKIP reason"
// when not run as root or when that system cannot be made.
inline std::string inPrivateSystem(const std::function<std::string()> &body) {
    if (geteuid() != 0)
        return "SKIP needs root for a private mount namespace, chown and other users";
    ScratchDir dir;
    return inChild([&]() -> std::string {
        const std::string error = privateSystemWithPostfix(dir);
        return error.empty() ? body() : "SKIP " + error;
    });
}

// Starts body in a child process running as uid and gid, which ends with status
// 0 when body returns true.
inline pid_t startAs(uid_t uid, gid_t gid, const std::function<bool()> &body) {
    return spawn([&] {
        return setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 &&
                       setresuid(uid, uid, uid) == 0 && body()
                   ? 0
                   : 1;
    });
}

// Runs body as uid and gid in a child process; true when it returned true.
inline bool runAs(uid_t uid, gid_t gid, const std::function<bool()> &body) {
    return reap(startAs(uid, gid, body)) == 0;
}

#endif
