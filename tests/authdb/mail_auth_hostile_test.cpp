// The library against damaged, missing, replaced or unreadable files and hostile
// names: every operation fails cleanly or does what it says, and nothing it should
// leave alone changes. Also: the key file is never open to others while written.
#include "mail/dovecot/authdb/mail_auth_db.h"
#include "mail/dovecot/authdb/vqa_conf.h"

#include "tests/authdb/test_mail_auth_support.h"

#include <gtest/gtest.h>

#include <crypt.h>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

const uid_t NOBODY = 65534;

bool refusedInLog(const std::string &path) {
    for (const LogLine &line : LogCapture::lines())
        if (line.priority == 2 && line.text.rfind("Refusing to use " + path + ": it is ", 0) == 0)
            return true;
    return false;
}

class MailAuthHostile : public MailAuthDbTest {
protected:
    void SetUp() override {
        MailAuthDbTest::SetUp();
        ASSERT_EQ(mailAuthSet("ann", "one.test", "ann-secret", 0), 0);
        ASSERT_EQ(mailAuthSet("bob", "one.test", crypt("bob-secret", "$6$hostile$"),
                              MAIL_AUTH_FLAG_CRYPT),
                  0);
        stored = value("SELECT userPassword FROM users WHERE name='ann'");
        ASSERT_EQ(stored.rfind("$AES-256-CBC:PKCS$", 0), 0u) << stored;
    }

    // Every kind of lookup and write fails on the file as it is, and leaves it as it was.
    void expectEveryOperationFails(const std::string &what) {
        const std::string before = readFile(db_path);
        MailAuthLog log;
        Accounts found;
        EXPECT_EQ(mailAuthCheck("ann@one.test", collectAccount, &found), -1) << what;
        EXPECT_EQ(mailAuthCheckShort("ann", collectAccount, &found), -1) << what;
        EXPECT_EQ(mailAuthIterateAll(collectAccount, &found), -1) << what;
        EXPECT_TRUE(found.empty()) << what;
        EXPECT_EQ(mailAuthSet("new", "one.test", "new-secret", 0), -1) << what;
        EXPECT_EQ(mailAuthRename("ann", "anne", "one.test"), -1) << what;
        EXPECT_EQ(mailAuthDisableDomain("one.test"), -1) << what;
        EXPECT_EQ(mailAuthRemoveDomain("one.test"), -1) << what;
        EXPECT_GE(LogCapture::lines().size(), 7u) << what;
        expectNoSecretsLogged(what);
        EXPECT_EQ(readFile(db_path), before) << what;
    }

    // No captured log line holds a password or the stored text of one.
    void expectNoSecretsLogged(const std::string &what) {
        for (const LogLine &line : LogCapture::lines())
            for (const std::string &secret : {std::string("ann-secret"), std::string("bob-secret"),
                                              std::string("new-secret"), stored})
                EXPECT_EQ(line.text.find(secret), std::string::npos) << what << ": " << line.text;
    }

    // Runs body in a child process as user nobody, with the database readable
    // to all; its answer, "" for success.
    std::string asNobody(const std::function<std::string()> &body) {
        for (const std::string &path : {dir.path(), dir.file("auth")})
            EXPECT_EQ(chmod(path.c_str(), 0755), 0);
        EXPECT_EQ(chmod(db_path.c_str(), 0644), 0);
        return inChild([&]() -> std::string {
            if (setresgid(NOBODY, NOBODY, NOBODY) != 0 || setresuid(NOBODY, NOBODY, NOBODY) != 0)
                return "cannot become nobody";
            return body();
        });
    }

    std::string stored;
};

TEST_F(MailAuthHostile, DamagedDatabasesFailEveryOperation) {
    const std::string good = readFile(db_path);
    ASSERT_GT(good.size(), 4096u);
    std::string header = good;
    for (size_t i = 16; i < 100; ++i)
        header[i] = static_cast<char>(0xA5);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"garbage", std::string(8192, '\x5a')},          {"text", "this is not a database\n"},
        {"first page only", good.substr(0, 4096)},       {"damaged header", header},
        {"zero-filled", std::string(good.size(), '\0')},
    };
    for (const auto &c : cases) {
        writeFile(db_path, c.second);
        expectEveryOperationFails(c.first);
    }

    // An empty file, or one with a different schema, is a database without our tables.
    writeFile(db_path, "");
    expectEveryOperationFails("empty file");
    ASSERT_EQ(unlink(db_path.c_str()), 0);
    EXPECT_EQ(sql("CREATE TABLE users (x); CREATE TABLE domains (y);"), "");
    expectEveryOperationFails("foreign schema");

    // A directory in its place.
    ASSERT_EQ(unlink(db_path.c_str()), 0);
    ASSERT_EQ(mkdir(db_path.c_str(), 0700), 0);
    MailAuthLog log;
    Accounts found;
    EXPECT_EQ(mailAuthCheck("ann@one.test", collectAccount, &found), -1);
    EXPECT_EQ(mailAuthSet("new", "one.test", "new-secret", 0), -1);
    rmdir(db_path.c_str());
}

TEST_F(MailAuthHostile, MissingDatabaseFailsLookupsAndWritesStoreNothing) {
    ASSERT_EQ(unlink(db_path.c_str()), 0);
    MailAuthLog log;
    EXPECT_EQ(passwordOf("ann@one.test"), "<rc -1>");
    Accounts found;
    EXPECT_EQ(mailAuthIterateAll(collectAccount, &found), -1);
    // Writes open read-write, which makes an empty file, but find no tables there.
    EXPECT_EQ(mailAuthSet("new", "one.test", "new-secret", 0), -1);
    struct stat st;
    ASSERT_EQ(stat(db_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(passwordOf("new@one.test"), "<rc -1>");
}

TEST_F(MailAuthHostile, WritesRefuseADatabaseNameThatIsALink) {
    const std::string target = db_path + ".elsewhere";
    ASSERT_EQ(rename(db_path.c_str(), target.c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), db_path.c_str()), 0);
    const std::string before = readFile(target);
    MailAuthLog log;
    EXPECT_EQ(mailAuthSet("new", "one.test", "new-secret", 0), -1);
    EXPECT_EQ(mailAuthRemoveDomain("one.test"), -1);
    EXPECT_EQ(readFile(target), before);
}

// A set-up from scratch that cannot make every file replaces none of them: style 2
// keeps the fixture's paths.
TEST_F(MailAuthHostile, RefusedSetUpLeavesTheDatabaseAsItWas) {
    const std::string before = readFile(db_path);
    ASSERT_EQ(unlink(key_path.c_str()), 0);
    ASSERT_EQ(mkdir(key_path.c_str(), 0700), 0);
    MailAuthLog log;
    EXPECT_EQ(mailAuthDBInitStyle(2), -1);
    EXPECT_EQ(readFile(db_path), before);
    EXPECT_TRUE(refusedInLog(key_path));
    ASSERT_EQ(rmdir(key_path.c_str()), 0);
}

TEST_F(MailAuthHostile, ReplacedDatabaseIsReadAtTheNextLookup) {
    EXPECT_EQ(passwordOf("ann@one.test"), "ann-secret");
    ASSERT_NO_FATAL_FAILURE(replaceDatabase("ann", "one.test", "replaced-secret"));
    EXPECT_EQ(passwordOf("ann@one.test"), "replaced-secret");
    EXPECT_EQ(passwordOf("bob@one.test"), "<rc 1>");
}

// Read-only to the caller: root ignores modes, so the checks run as user nobody.
TEST_F(MailAuthHostile, ReadOnlyDatabaseServesLookupsAndRefusesWrites) {
    ASSERT_EQ(chmod(key_path.c_str(), 0644), 0);
    const std::string before = readFile(db_path);
    EXPECT_EQ(asNobody([&]() -> std::string {
                  MailAuthLog log;
                  std::string wrong;
                  if (passwordOf("ann@one.test") != "ann-secret")
                      wrong += "lookup: " + passwordOf("ann@one.test") + "; ";
                  if (mailAuthSet("new", "one.test", "new-secret", 0) != -1)
                      wrong += "set succeeded; ";
                  if (mailAuthRename("ann", "anne", "one.test") != -1)
                      wrong += "rename succeeded; ";
                  if (mailAuthDisableDomain("one.test") != -1)
                      wrong += "disable succeeded; ";
                  if (mailAuthKeyInit() != -1)
                      wrong += "new key written; ";
                  return wrong;
              }),
              "");
    EXPECT_EQ(readFile(db_path), before);
    EXPECT_EQ(passwordOf("ann@one.test"), "ann-secret");
}

// Without a usable key, encrypted passwords come back as stored (they match no
// password a client types), crypt hashes still work and no new password is written.
TEST_F(MailAuthHostile, UnusableKeyFilesKeepPasswordsLocked) {
    const std::string key = readFile(key_path);
    const std::vector<std::pair<std::string, std::string>> shortKeys = {
        {"empty", ""}, {"short", key.substr(0, 10)}, {"one byte short", key.substr(0, 31)}};
    const auto expectLocked = [&](const std::string &what) {
        MailAuthLog log;
        EXPECT_EQ(passwordOf("ann@one.test"), stored) << what;
        EXPECT_EQ(passwordOf("bob@one.test").rfind("$6$hostile$", 0), 0u) << what;
        EXPECT_EQ(mailAuthSet("new", "one.test", "new-secret", 0), -1) << what;
        EXPECT_EQ(passwordOf("new@one.test"), "<rc 1>") << what;
        EXPECT_FALSE(LogCapture::lines().empty()) << what;
        expectNoSecretsLogged(what);
    };
    for (const auto &k : shortKeys) {
        writeFile(key_path, k.second);
        expectLocked(k.first);
    }
    ASSERT_EQ(unlink(key_path.c_str()), 0);
    expectLocked("missing");
    ASSERT_EQ(mkdir(key_path.c_str(), 0700), 0);
    expectLocked("directory");
    ASSERT_EQ(rmdir(key_path.c_str()), 0);

    // Readable by root only, looked up by nobody.
    writeFile(key_path, key);
    ASSERT_EQ(chmod(key_path.c_str(), 0600), 0);
    EXPECT_EQ(asNobody([&]() -> std::string {
                  MailAuthLog log;
                  const std::string got = passwordOf("ann@one.test");
                  return got == stored ? "" : "unreadable key: " + got;
              }),
              "");
    EXPECT_EQ(passwordOf("ann@one.test"), "ann-secret");
}

// Names travel as bound parameters, so quotes, wildcards and paths are plain text:
// each account is found by its own name only, and the tables survive.
TEST_F(MailAuthHostile, HostileNamesAreStoredAndMatchedLiterally) {
    const std::vector<std::string> names = {"x'; DROP TABLE users; --",
                                            "a\" OR \"1\"=\"1",
                                            "' OR '1'='1",
                                            "../../etc/passwd",
                                            "%s%n%x",
                                            "semi;colon",
                                            "back\\slash",
                                            "j\xc3\xbcrgen",
                                            "tab\tname",
                                            std::string(4000, 'l')};
    for (size_t i = 0; i < names.size(); ++i)
        ASSERT_EQ(mailAuthSet(names[i].c_str(), "one.test", ("pw-" + std::to_string(i)).c_str(), 0),
                  0)
            << names[i];
    EXPECT_EQ(mailAuthSet("ann", "x'); DELETE FROM domains; --", "pw-d", 0), 0);
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(passwordOf((names[i] + "@one.test").c_str()), "pw-" + std::to_string(i))
            << names[i];
    EXPECT_EQ(passwordOf("ann@x'); DELETE FROM domains; --"), "pw-d");
    MailAuthLog log;
    for (const char *probe : {"%@one.test", "_nn@one.test", "ann@%", "ann@one.tes_", "*@one.test",
                              "ann@one.test' --", "ann@one.test\" --", "' OR 1=1 --@one.test"})
        EXPECT_EQ(passwordOf(probe), "<rc 1>") << probe;
    EXPECT_EQ(allAccounts().size(), names.size() + 3);
    EXPECT_EQ(passwordOf("ann@one.test"), "ann-secret");
}

TEST_F(MailAuthHostile, KeyIsNeverOpenToOthersWhileWritten) {
    // The watcher stats the key file as fast as it can while new keys are written
    // again and again under the most permissive umask.
    std::atomic<bool> done{false};
    std::atomic<int> seen{0};
    std::atomic<unsigned> worst{0};
    std::thread watcher([&] {
        struct stat st;
        while (!done.load()) {
            if (stat(key_path.c_str(), &st) == 0) {
                ++seen;
                worst |= st.st_mode & 077;
            }
        }
    });
    const mode_t saved = umask(0);
    int failures = 0;
    for (int i = 0; i < 300; ++i)
        failures += mailAuthKeyInit() != 0;
    umask(saved);
    done = true;
    watcher.join();
    EXPECT_EQ(failures, 0);
    EXPECT_GT(seen.load(), 0);
    EXPECT_EQ(worst.load(), 0u) << "group or other bits seen on the key file";
    struct stat st;
    ASSERT_EQ(stat(key_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Root's work in the Postfix layout, whose directory user postfix may write, for
// real in a private mount namespace (privateSystemWithPostfix). Postfix puts links,
// a FIFO and a hard link where the files should be, before each call and then in a
// loop racing root's set-up. The file they point to stands in for /etc/shadow: its
// content, owner and mode must never change.

// Content, owner and mode of path.
std::string fileState(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return "missing";
    return readFile(path) + " " + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) +
           " " + std::to_string(st.st_mode & 07777);
}

TEST(MailAuthPostfixLayout, RootNeverFollowsWhatPostfixPlants) {
    EXPECT_CHILD_ANSWER(inPrivateSystem([&]() -> std::string {
        std::string error;
        const struct passwd *pw = getpwnam("postfix");
        if (pw == nullptr)
            return "the private postfix user is not visible";
        const uid_t postfix = pw->pw_uid;
        const gid_t postfix_group = pw->pw_gid;
        const std::string db = MAIL_AUTH_DB_PATH_POSTFIX, key = MAIL_AUTH_KEY_PATH_POSTFIX;
        // On the same file system as the directory, so that a hard link can reach it.
        const std::string shadow = "/var/spool/shadow";
        writeFile(shadow, "root:$6$precious:19000::::::\n");
        chmod(shadow.c_str(), 0600);
        const std::string untouched = fileState(shadow);
        if (mailAuthDBInitStyle(MAIL_AUTH_STYLE_POSTFIX) != 0)
            return "set-up failed";

        enum Kind { LINK, FIFO, HARD_LINK };
        struct Case {
            const char *what;
            const std::string &at;
            Kind kind;
            std::function<int()> call;
        };
        const auto dbAccess = [&] {
            return mailAuthDBSetAccess(postfix, 0, 0460, postfix, postfix_group, 0770);
        };
        const auto keyAccess = [&] { return mailAuthKeySetAccess(postfix, 0, 0440); };
        const Case cases[] = {
            {"new key", key, LINK, mailAuthKeyInit},
            {"new database", db, LINK, mailAuthDBInit},
            {"key access", key, LINK, keyAccess},
            {"database access", db, LINK, dbAccess},
            {"key access", key, FIFO, keyAccess},
            // Only where hard links to others' files are allowed
            // (fs.protected_hardlinks = 0); root plants it here.
            {"database access", db, HARD_LINK, dbAccess},
        };
        for (const Case &c : cases) {
            unlink(c.at.c_str());
            const auto plant = [&] {
                return c.kind == LINK ? symlink(shadow.c_str(), c.at.c_str()) == 0
                                      : mkfifo(c.at.c_str(), 0600) == 0;
            };
            const bool planted = c.kind == HARD_LINK ? link(shadow.c_str(), c.at.c_str()) == 0
                                                     : runAs(postfix, postfix_group, plant);
            const std::string what = std::string(c.what) + " on a " +
                                     (c.kind == LINK   ? "link"
                                      : c.kind == FIFO ? "FIFO"
                                                       : "hard link") +
                                     ": ";
            MailAuthLog log;
            if (!planted)
                error += what + "could not plant\n";
            else if (c.call() != -1)
                error += what + "not refused\n";
            else if (!refusedInLog(c.at))
                error += what + "no refusal line\n";
            if (fileState(shadow) != untouched)
                return error + what + "the target changed: " + fileState(shadow);
            unlink(c.at.c_str());
        }
        if (mailAuthDBInitStyle(MAIL_AUTH_STYLE_POSTFIX) != 0)
            return error + "set-up failed after the planted files were gone";

        // Postfix swaps links in for both files (renaming each over the file), then
        // takes them away again, with pauses of varying length, so that the swaps
        // fall on every step of root's set-up, which runs again and again. Every
        // set-up ends, and the target stays as it was.
        const pid_t attacker = startAs(postfix, postfix_group, [&] {
            const std::string tmp = "/var/spool/postfix/velka/planted";
            for (unsigned round = 0;; ++round) {
                for (const std::string *at : {&key, &db}) {
                    unlink(tmp.c_str());
                    if (symlink(shadow.c_str(), tmp.c_str()) == 0)
                        rename(tmp.c_str(), at->c_str());
                }
                usleep(round % 1000);
                unlink(key.c_str());
                unlink(db.c_str());
                usleep(round % 1000);
            }
            return true;
        });
        int done = 0, refused = 0;
        for (int i = 0; i < 300; ++i) {
            MailAuthLog log;
            const int rc = mailAuthDBInitStyle(MAIL_AUTH_STYLE_POSTFIX);
            done += rc == 0;
            refused += rc == -1 && (refusedInLog(db) || refusedInLog(key));
        }
        kill(attacker, SIGKILL);
        waitpid(attacker, nullptr, 0);
        printf(
            "[   INFO   ] racing set-ups: %d completed, %d refused a link, %d failed otherwise\n",
            done, refused, 300 - done - refused);
        fflush(stdout);
        if (fileState(shadow) != untouched)
            error += "racing: the target changed: " + fileState(shadow) + "\n";
        return error;
    }));
}

// The exit status of child pid once it has ended, or -1 after killing it when it
// has not ended within msec.
int reapWithin(pid_t pid, int msec) {
    for (int waited = 0; waited < msec; waited += 10) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

// Whatever postfix places at the database's name or at the names SQLite derives from
// it, root's lookups and writes fail with a log line within the busy bound (plus a
// second), never reach the file a link points to, and leave what was planted in place.
TEST(MailAuthPostfixLayout, PlantedFilesNeverBlockOrMisleadRoot) {
    EXPECT_CHILD_ANSWER(inPrivateSystem([&]() -> std::string {
        const struct passwd *pw = getpwnam("postfix");
        if (pw == nullptr)
            return "the private postfix user is not visible";
        const uid_t postfix = pw->pw_uid;
        const gid_t postfix_group = pw->pw_gid;
        const std::string db = MAIL_AUTH_DB_PATH_POSTFIX;
        if (mailAuthDBInitStyle(MAIL_AUTH_STYLE_POSTFIX) != 0 ||
            mailAuthSet("ann", "one.test", "ann-secret", 0) != 0)
            return "set-up failed";
        const std::string pristine = readFile(db);
        // A database of root's that a link could lead to: a lookup through it would
        // even succeed.
        const std::string elsewhere = "/var/spool/elsewhere.db";
        writeFile(elsewhere, pristine);
        const std::string untouched = fileState(elsewhere);

        enum Kind { FIFO, LINK, DIRECTORY };
        // SQLite opens -wal and -shm only for a database in WAL mode, which postfix,
        // who owns the file, can switch on.
        const struct {
            const char *suffix;
            bool wal;
        } names[] = {{"", false}, {"-journal", false}, {"-wal", true}, {"-shm", true}};
        const std::function<int()> calls[] = {
            [] { return mailAuthSet("bob", "one.test", "bob-secret", 0); },
            [] {
                Accounts found;
                return mailAuthCheck("ann@one.test", collectAccount, &found);
            }};
        std::string error;
        for (const auto &name : names) {
            for (Kind kind : {FIFO, LINK, DIRECTORY}) {
                writeFile(db, pristine);
                chown(db.c_str(), postfix, 0);
                if (name.wal)
                    (void)runAs(postfix, postfix_group, [&] {
                        sqlite3 *handle = nullptr;
                        sqlite3_open(db.c_str(), &handle);
                        const int rc = sqlite3_exec(handle, "PRAGMA journal_mode=WAL", nullptr,
                                                    nullptr, nullptr);
                        sqlite3_close(handle);
                        return rc == SQLITE_OK;
                    });
                const std::string at = db + name.suffix;
                unlink((db + "-wal").c_str());
                unlink((db + "-shm").c_str());
                unlink(at.c_str());
                const bool planted = runAs(postfix, postfix_group, [&] {
                    return kind == FIFO   ? mkfifo(at.c_str(), 0600) == 0
                           : kind == LINK ? symlink(elsewhere.c_str(), at.c_str()) == 0
                                          : mkdir(at.c_str(), 0700) == 0;
                });
                const std::string what = at + " as a " +
                                         (kind == FIFO   ? "FIFO"
                                          : kind == LINK ? "link"
                                                         : "directory") +
                                         ": ";
                if (!planted) {
                    error += what + "could not plant\n";
                    continue;
                }
                struct stat before;
                lstat(at.c_str(), &before);
                for (size_t c = 0; c < 2; ++c) {
                    const pid_t caller = spawn([&] {
                        MailAuthLog log;
                        const int rc = calls[c]();
                        return rc == -1 ? (LogCapture::lines().empty() ? 2 : 0) : 1;
                    });
                    const int status = reapWithin(caller, MAIL_AUTH_BUSY_LIMIT_MSEC + 1000);
                    const char *call = c == 0 ? "set" : "lookup";
                    if (status == -1)
                        error += what + call + " blocked\n";
                    else if (status != 0)
                        error += what + call + (status == 1 ? " succeeded\n" : " logged nothing\n");
                }
                struct stat after;
                if (lstat(at.c_str(), &after) != 0 || after.st_ino != before.st_ino ||
                    (after.st_mode & S_IFMT) != (before.st_mode & S_IFMT))
                    error += what + "the planted file was replaced\n";
                if (fileState(elsewhere) != untouched)
                    return error + what + "the link's target changed";
                std::error_code ec;
                std::filesystem::remove_all(at, ec);
            }
        }
        return error;
    }));
}

// A user with no business in the files (nobody) tries without pause to open every
// file in the database's directory while root sets the QMail layout up from
// scratch, again and again. The directory is new each time, so open to all until it
// gets its mode: only the files' own modes keep others out meanwhile.
TEST(MailAuthQMailLayout, NoOneElseOpensTheFilesWhileTheyAreMade) {
    EXPECT_CHILD_ANSWER(inPrivateSystem([&]() -> std::string {
        std::string error;
        umask(022);
        int seen[2];
        if (pipe(seen) != 0)
            return "pipe failed";
        const pid_t observer = startAs(NOBODY, NOBODY, [&] {
            close(seen[0]);
            for (;;) {
                DIR *d = opendir("/var/lib/velka/mail/auth");
                for (const dirent *e; d != nullptr && (e = readdir(d)) != nullptr;) {
                    const int fd = openat(dirfd(d), e->d_name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
                    struct stat st;
                    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
                        const std::string line = std::string(e->d_name) + "\n";
                        if (write(seen[1], line.data(), line.size()) < 0)
                            return false;
                    }
                    if (fd >= 0)
                        close(fd);
                }
                if (d != nullptr)
                    closedir(d);
            }
            return true;
        });
        close(seen[1]);
        for (int i = 0; i < 200 && error.empty(); ++i) {
            std::error_code ec;
            std::filesystem::remove_all("/var/lib/velka", ec);
            if (mailAuthDBInitStyle(MAIL_AUTH_STYLE_QMAIL) != 0)
                error = "set-up failed\n";
        }
        kill(observer, SIGKILL);
        waitpid(observer, nullptr, 0);
        std::string opened;
        char buf[4096];
        for (ssize_t n; (n = read(seen[0], buf, sizeof buf)) > 0;)
            opened.append(buf, static_cast<size_t>(n));
        close(seen[0]);
        if (!opened.empty())
            error += "nobody opened:\n" + opened.substr(0, 200);
        return error;
    }));
}

TEST(ConfHostile, OddFilesParseOrFailCleanly) {
    ScratchDir dir;
    const std::string path = dir.file("vqa.conf");
    const std::string huge(1 << 20, 'v');
    static const char head[] = "A_NAME one\r\nNUL_NAME be\0fore\nLONG ";
    writeFile(path, std::string(head, sizeof head - 1) + huge + "\n\x01\x02\xff garbage\n" +
                        std::string(10000, '#') + "\nLAST_NAME last");
    conf_r *conf = static_cast<conf_r *>(calloc(1, sizeof(conf_r)));
    LogCapture log;
    ASSERT_EQ(conf_read_file_r(path.c_str(), conf), 0);
    EXPECT_STREQ(conf_get_r("A_NAME", conf), "one");
    EXPECT_STREQ(conf_get_r("NUL_NAME", conf), "be");
    ASSERT_NE(conf_get_r("LONG", conf), nullptr);
    EXPECT_EQ(strlen(conf_get_r("LONG", conf)), huge.size());
    EXPECT_STREQ(conf_get_r("LAST_NAME", conf), "last");
    EXPECT_EQ(conf->count, 4u);
    conf_free_r(conf);

    // A directory or a missing file: -1 with errno, and nothing stored.
    for (const std::string &bad : {dir.path(), dir.file("missing")}) {
        conf = static_cast<conf_r *>(calloc(1, sizeof(conf_r)));
        errno = 0;
        EXPECT_EQ(conf_read_file_r(bad.c_str(), conf), -1) << bad;
        EXPECT_NE(errno, 0) << bad;
        EXPECT_EQ(conf->count, 0u) << bad;
        conf_free_r(conf);
    }
}

} // namespace
