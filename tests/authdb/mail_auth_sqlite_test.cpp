// The mail authentication database under concurrent use by real processes:
// lookups wait for writers, no lookup fails for locking, no write is lost, and
// a lock held too long makes an operation give up after the bound.
#include "mail/dovecot/authdb/mail_auth_db.h"

#include "tests/authdb/test_mail_auth_support.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A process that takes the database's exclusive lock in a write transaction,
// holds it for hold_ms and commits. Returns once the lock is held.
pid_t holdLock(const std::string &db_path, int hold_ms) {
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    const pid_t pid = spawn([&] {
        close(fds[0]);
        sqlite3 *db = nullptr;
        if (sqlite3_open(db_path.c_str(), &db) != SQLITE_OK ||
            sqlite3_exec(db, "BEGIN EXCLUSIVE; INSERT INTO domains (name) VALUES ('locked.test')",
                         nullptr, nullptr, nullptr) != SQLITE_OK)
            return 2;
        if (write(fds[1], "L", 1) != 1)
            return 3;
        usleep(hold_ms * 1000);
        return sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK &&
                       sqlite3_close(db) == SQLITE_OK
                   ? 0
                   : 4;
    });
    close(fds[1]);
    char c;
    if (read(fds[0], &c, 1) != 1) {
        reap(pid);
        close(fds[0]);
        return -1;
    }
    close(fds[0]);
    return pid;
}

int expectPassword(const char *, const char *password, unsigned char, void *data) {
    return *static_cast<std::string *>(data) == password ? 0 : 2;
}

class MailAuthConcurrency : public MailAuthDbTest {};

TEST_F(MailAuthConcurrency, LookupsWaitForAWriterAndThenSucceed) {
    ASSERT_EQ(mailAuthSet("u", "a.test", "pw", 0), 0);
    const pid_t locker = holdLock(db_path, 1000);
    ASSERT_GT(locker, 0);
    const Clock::time_point locked = Clock::now();

    std::vector<pid_t> readers;
    for (int i = 0; i < 3; ++i) {
        readers.push_back(spawn([] {
            std::string expected = "pw";
            const Clock::time_point start = Clock::now();
            const int rc = mailAuthCheck("u@a.test", expectPassword, &expected);
            const double waited = secondsSince(start);
            return rc != 0 ? 10 + rc : waited < 0.5 ? 9 : 0;
        }));
    }
    const pid_t writer = spawn([] { return mailAuthSet("v", "a.test", "pw2", 0) == 0 ? 0 : 1; });
    for (pid_t reader : readers)
        EXPECT_EQ(reap(reader), 0) << "a lookup failed (10 + result) or did not wait (9)";
    EXPECT_EQ(reap(writer), 0);
    EXPECT_EQ(reap(locker), 0);
    EXPECT_GE(secondsSince(locked), 0.9);
    EXPECT_EQ(value("SELECT group_concat(name) FROM domains ORDER BY id"), "a.test,locked.test");
    EXPECT_EQ(check("v@a.test").account.password, "pw2");
}

TEST_F(MailAuthConcurrency, WritersCreatingTheSameDomainAllSucceed) {
    const int writers = 6, rounds = 5;
    for (int round = 0; round < rounds; ++round) {
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        const std::string domain = "new" + std::to_string(round) + ".test";
        std::vector<pid_t> pids;
        for (int w = 0; w < writers; ++w) {
            pids.push_back(spawn([&, w] {
                close(gate[1]);
                char c;
                if (read(gate[0], &c, 1) != 0)
                    return 2;
                const std::string name = "u" + std::to_string(w);
                return mailAuthSet(name.c_str(), domain.c_str(), "$1$h", MAIL_AUTH_FLAG_CRYPT) == 0
                           ? 0
                           : 1;
            }));
        }
        close(gate[0]);
        close(gate[1]); // all writers start at once
        for (pid_t pid : pids)
            EXPECT_EQ(reap(pid), 0) << "a write to " << domain << " failed";
    }
    EXPECT_EQ(value("SELECT COUNT(*) FROM domains"), std::to_string(rounds));
    EXPECT_EQ(value("SELECT COUNT(*) FROM users"), std::to_string(rounds * writers));
}

int stressSeconds() {
    const char *value = getenv("MAIL_AUTH_STRESS_SECONDS");
    return value != nullptr && atoi(value) > 0 ? atoi(value) : 20;
}

// One writer's work on its own accounts, spread over domains that all writers
// share and that none has created yet. What it believes the database holds for
// those accounts goes to expected_file; the exit status counts failures.
int writerLoop(int id, Clock::time_point deadline, const std::string &expected_file) {
    mailPasswdCipherInit();
    std::map<std::string, std::string> expected;
    int failures = 0;
    int k = 0;
    for (; Clock::now() < deadline; ++k) {
        const int j = (k * 7) % 10;
        const std::string domain = "shared" + std::to_string(j % 3) + ".test";
        const std::string name = "w" + std::to_string(id) + "u" + std::to_string(j);
        const std::string moved = "w" + std::to_string(id) + "x" + std::to_string(j);
        const std::string address = name + "@" + domain, moved_address = moved + "@" + domain;
        const std::string password = "p" + std::to_string(id) + "-" + std::to_string(k);
        switch (k % 5) {
        case 3:
            if (set_postbox_passwd(name.c_str(), domain.c_str(), "", 0) == 0)
                expected.erase(address);
            else
                failures++;
            break;
        case 4:
            if (expected.count(address) && !expected.count(moved_address)) {
                if (mailAuthRename(name.c_str(), moved.c_str(), domain.c_str()) == 0) {
                    expected[moved_address] = expected[address];
                    expected.erase(address);
                } else {
                    failures++;
                }
            }
            break;
        default:
            if (mailAuthSet(name.c_str(), domain.c_str(), password.c_str(), 0) == 0)
                expected[address] = password;
            else
                failures++;
        }
    }
    fprintf(stderr, "writer %d: %d writes, %d failed\n", id, k, failures);
    std::ofstream out(expected_file);
    for (const auto &[address, password] : expected)
        out << address << ' ' << password << '\n';
    return failures > 100 ? 100 : failures;
}

// Looks up stable accounts (which must always be found with their password)
// and the writers' changing ones (found or not, but never an error).
int readerLoop(int id, Clock::time_point deadline, int stable) {
    mailPasswdCipherInit();
    std::mt19937 random(id);
    int failures = 0;
    long lookups = 0;
    double slowest = 0;
    for (; Clock::now() < deadline; ++lookups) {
        const Clock::time_point start = Clock::now();
        const int i = static_cast<int>(random() % stable);
        std::string expected = "seed" + std::to_string(i);
        const std::string address = "seed" + std::to_string(i) + "@stable.test";
        if (mailAuthCheck(address.c_str(), expectPassword, &expected) != 0)
            failures++;
        const std::string changing = "w" + std::to_string(random() % 3) + "u" +
                                     std::to_string(random() % 10) + "@shared" +
                                     std::to_string(random() % 3) + ".test";
        if (mailAuthCheck(
                changing.c_str(),
                [](const char *, const char *, unsigned char, void *) { return 0; }, nullptr) < 0)
            failures++;
        Accounts accounts;
        if (lookups % 50 == 0 && mailAuthCheckShort("seed1", collectAccount, &accounts) < 0)
            failures++;
        slowest = std::max(slowest, secondsSince(start));
    }
    fprintf(stderr, "reader %d: %ld rounds of lookups, %d failed, slowest round %.3f s\n", id,
            lookups, failures, slowest);
    return failures > 100 ? 100 : failures;
}

TEST_F(MailAuthConcurrency, WritersAndReadersTogetherLoseNothing) {
    const int stable = 40;
    Accounts expected;
    for (int i = 0; i < stable; ++i) {
        const std::string name = "seed" + std::to_string(i);
        ASSERT_EQ(mailAuthSet(name.c_str(), "stable.test", name.c_str(), 0), 0);
        expected[name + "@stable.test"] = Account{name, 0};
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(stressSeconds());
    std::vector<pid_t> writers, readers;
    for (int w = 0; w < 3; ++w)
        writers.push_back(spawn(
            [&, w] { return writerLoop(w, deadline, dir.file("expected" + std::to_string(w))); }));
    for (int r = 0; r < 3; ++r)
        readers.push_back(spawn([&, r] { return readerLoop(r, deadline, stable); }));
    for (pid_t pid : writers)
        EXPECT_EQ(reap(pid), 0) << "writes that failed";
    for (pid_t pid : readers)
        EXPECT_EQ(reap(pid), 0) << "lookups that failed";

    for (int w = 0; w < 3; ++w) {
        std::ifstream in(dir.file("expected" + std::to_string(w)));
        std::string address, password;
        while (in >> address >> password)
            expected[address] = Account{password, 0};
    }
    EXPECT_GT(expected.size(), static_cast<size_t>(stable));
    EXPECT_EQ(allAccounts(), expected);
    EXPECT_EQ(value("SELECT COUNT(*) FROM domains"), "4") << "each shared domain was created once";
}

TEST_F(MailAuthConcurrency, LockHeldPastTheBoundMakesOperationsGiveUp) {
    ASSERT_EQ(mailAuthSet("u", "a.test", "pw", 0), 0);
    const double bound = MAIL_AUTH_BUSY_LIMIT_MSEC / 1000.0;
    // The bound is checked between calls, each of which SQLite lets wait its
    // busy timeout, and a loaded machine delays every step besides: twice the
    // bound leaves room for that and still catches an operation that ignores it.
    const double latest = 2 * bound;
    const pid_t locker = holdLock(db_path, MAIL_AUTH_BUSY_LIMIT_MSEC + 2000);
    ASSERT_GT(locker, 0);

    const pid_t writer = spawn([bound, latest] {
        MailAuthLog log;
        const Clock::time_point start = Clock::now();
        const int rc = mailAuthRemoveDomain("a.test");
        const double waited = secondsSince(start);
        const bool one_line =
            LogCapture::lines().size() == 1 &&
            LogCapture::lines()[0].text.rfind("mailAuthRemoveDomain: gave up waiting", 0) == 0;
        return rc == -1 && waited >= bound && waited < latest && one_line ? 0 : 1;
    });

    MailAuthLog log;
    std::string expected = "pw";
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(mailAuthCheck("u@a.test", expectPassword, &expected), -1);
    const double waited = secondsSince(start);
    EXPECT_GE(waited, bound);
    EXPECT_LT(waited, latest);
    ASSERT_EQ(LogCapture::lines().size(), 1u);
    EXPECT_EQ(LogCapture::lines()[0].priority, 3);
    EXPECT_EQ(
        LogCapture::lines()[0].text.rfind("mailAuthCheck: gave up waiting for the locked mail "
                                          "authentication database after ",
                                          0),
        0u)
        << LogCapture::lines()[0].text;

    EXPECT_EQ(reap(writer), 0) << "the writer did not give up alone after the bound";
    EXPECT_EQ(reap(locker), 0);
    EXPECT_EQ(mailAuthCheck("u@a.test", expectPassword, &expected), 0) << "lookups recover";
}

} // namespace
