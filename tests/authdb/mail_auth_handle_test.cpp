// The read-only handle that lookups keep between calls: a database replaced,
// removed, made unreadable or changed in place is seen by the very next lookup,
// with the results and log lines of a handle opened for that lookup, and an idle
// kept handle never holds writers up.
#include "mail/dovecot/authdb/mail_auth_db.h"

#include "tests/authdb/test_mail_auth_support.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

using MailAuthHandle = MailAuthDbTest;

const char ADDRESS[] = "john@example.test";

std::string openFailure(const std::string &path) {
    return "Unable to open database(readonly) " + path + ": unable to open database file";
}

TEST_F(MailAuthHandle, ReplacedDatabaseIsSeenByTheNextLookup) {
    ASSERT_EQ(mailAuthSet("john", "example.test", "first", 0), 0);
    ASSERT_EQ(passwordOf(ADDRESS), "first");
    ASSERT_EQ(mailAuthSet("john", "example.test", "second", 0), 0); // in place
    EXPECT_EQ(passwordOf(ADDRESS), "second");

    ASSERT_EQ(mailAuthDBInit(), 0);
    {
        MailAuthLog log;
        EXPECT_EQ(passwordOf(ADDRESS), "<rc 1>");
        EXPECT_EQ(LogCapture::lines().size(), 1u);
        EXPECT_TRUE(log.contains(6, "No such user 'john@example.test' in mail authorization "
                                    "database"));
    }

    ASSERT_NO_FATAL_FAILURE(replaceDatabase("john", "example.test", "third"));
    EXPECT_EQ(passwordOf(ADDRESS), "third");
    Accounts all;
    EXPECT_EQ(mailAuthIterateAll(collectAccount, &all), 1);
    EXPECT_EQ(all.size(), 1u);

    // Another path, then back: each lookup reads the file its path names now.
    const std::string absent = dir.file("absent.db");
    mailAuthDBSetPath(absent.c_str());
    EXPECT_EQ(passwordOf(ADDRESS), "<rc -1>");
    mailAuthDBSetPath(db_path.c_str());
    EXPECT_EQ(passwordOf(ADDRESS), "third");
}

TEST_F(MailAuthHandle, RemovedDatabaseIsSeenByTheNextLookup) {
    ASSERT_EQ(mailAuthSet("john", "example.test", "s3cret", 0), 0);
    ASSERT_EQ(passwordOf(ADDRESS), "s3cret");
    const std::string aside = dir.file("auth/aside.db");
    ASSERT_EQ(rename(db_path.c_str(), aside.c_str()), 0);
    {
        MailAuthLog log;
        Accounts accounts;
        EXPECT_EQ(passwordOf(ADDRESS), "<rc -1>");
        EXPECT_EQ(mailAuthCheckShort("john", collectAccount, &accounts), -1);
        EXPECT_EQ(mailAuthIterateAll(collectAccount, &accounts), -1);
        EXPECT_EQ(LogCapture::lines().size(), 3u);
        EXPECT_TRUE(log.contains(3, openFailure(db_path)));
    }
    ASSERT_EQ(rename(aside.c_str(), db_path.c_str()), 0);
    EXPECT_EQ(passwordOf(ADDRESS), "s3cret");
    ASSERT_EQ(unlink(db_path.c_str()), 0);
    EXPECT_EQ(passwordOf(ADDRESS), "<rc -1>");
    EXPECT_EQ(access(db_path.c_str(), F_OK), -1) << "lookups never create the file";
}

TEST_F(MailAuthHandle, UnreadableDatabaseIsSeenByTheNextLookup) {
    ASSERT_EQ(mailAuthSet("john", "example.test", "s3cret", 0), 0);
    // Permissions bind root only through another user: the lookups run in a
    // child that owns the files and drops root, as Dovecot's auth process does.
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (uid == 0) {
        const struct passwd *nobody = getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        uid = nobody->pw_uid;
        gid = nobody->pw_gid;
        for (const std::string &path : {dir.path(), dir.file("auth"), db_path, key_path})
            ASSERT_EQ(chown(path.c_str(), uid, gid), 0) << path;
    }
    const std::string answer = inChild([&]() -> std::string {
        if (getegid() != gid && setgid(gid) != 0)
            return "setgid failed";
        if (geteuid() != uid && setuid(uid) != 0)
            return "setuid failed";
        if (passwordOf(ADDRESS) != "s3cret")
            return "no lookup before: " + passwordOf(ADDRESS);
        if (chmod(db_path.c_str(), 0) != 0)
            return "chmod failed";
        MailAuthLog log;
        const std::string unreadable = passwordOf(ADDRESS);
        const bool logged =
            LogCapture::lines().size() == 1 && log.contains(3, openFailure(db_path));
        chmod(db_path.c_str(), 0640);
        if (unreadable != "<rc -1>" || !logged)
            return "unreadable file: " + unreadable + (logged ? "" : ", not logged");
        if (passwordOf(ADDRESS) != "s3cret")
            return "readable again: " + passwordOf(ADDRESS);
        return "";
    });
    EXPECT_EQ(answer, "");
}

TEST_F(MailAuthHandle, SchemaChangedInPlaceFailsAsWithANewHandle) {
    ASSERT_EQ(mailAuthSet("john", "example.test", "s3cret", 0), 0);
    ASSERT_EQ(passwordOf(ADDRESS), "s3cret");
    Accounts accounts;
    ASSERT_EQ(mailAuthCheckShort("john", collectAccount, &accounts), 1);
    ASSERT_EQ(sql("ALTER TABLE users RENAME TO old_users"), "");
    {
        MailAuthLog log;
        EXPECT_EQ(passwordOf(ADDRESS), "<rc -1>");
        EXPECT_EQ(mailAuthCheckShort("john", collectAccount, &accounts), -1);
        ASSERT_EQ(LogCapture::lines().size(), 2u);
        for (const auto &line : LogCapture::lines()) {
            EXPECT_EQ(line.priority, 3);
            EXPECT_EQ(line.text.rfind("Unable to prepare SQL statement for query '", 0), 0u)
                << line.text;
            EXPECT_NE(line.text.find("': no such table: users"), std::string::npos) << line.text;
        }
    }
    ASSERT_EQ(sql("ALTER TABLE old_users RENAME TO users"), "");
    EXPECT_EQ(passwordOf(ADDRESS), "s3cret");
}

TEST_F(MailAuthHandle, IdleHandleHoldsWritersNotUp) {
    ASSERT_EQ(mailAuthSet("john", "example.test", "s3cret", 0), 0);
    ASSERT_EQ(passwordOf(ADDRESS), "s3cret");
    ASSERT_EQ(passwordOf("nobody@example.test"), "<rc 1>");
    Accounts accounts;
    ASSERT_EQ(mailAuthIterateAll(
                  [](const char *, const char *, unsigned char, void *) { return 0; }, nullptr),
              0);
    ASSERT_EQ(mailAuthCheckShort("john", collectAccount, &accounts), 1);

    // Another process takes the write lock without waiting, and looks up in
    // turn on a handle of its own rather than the one it inherited.
    const std::string answer = inChild([&]() -> std::string {
        sqlite3 *db = nullptr;
        sqlite3_open(db_path.c_str(), &db);
        const int rc = sqlite3_exec(db, "BEGIN EXCLUSIVE; UPDATE users SET status = 1; COMMIT",
                                    nullptr, nullptr, nullptr);
        sqlite3_close(db);
        if (rc != SQLITE_OK)
            return "write lock refused: " + std::to_string(rc);
        Accounts child;
        if (mailAuthCheck(ADDRESS, collectAccount, &child) != 1 || child.size() != 1 ||
            child.begin()->second.flags != MAIL_AUTH_FLAG_USER_DISABLED)
            return "child lookup failed";
        return "";
    });
    EXPECT_EQ(answer, "");
    Accounts after;
    EXPECT_EQ(mailAuthCheck(ADDRESS, collectAccount, &after), 1);
    EXPECT_EQ(after[ADDRESS].flags, MAIL_AUTH_FLAG_USER_DISABLED);
}

// A callback that looks another account up while the walk still has the handle.
int lookUpInside(const char *address, const char *, unsigned char, void *data) {
    Accounts *inner = static_cast<Accounts *>(data);
    if (mailAuthCheck("mary@example.test", collectAccount, inner) < 0)
        return -1;
    (*inner)[std::string("outer:") + address] = Account{"", 0};
    return 1;
}

TEST_F(MailAuthHandle, LookupFromACallbackUsesAHandleOfItsOwn) {
    ASSERT_EQ(mailAuthSet("john", "example.test", "s3cret", 0), 0);
    ASSERT_EQ(mailAuthSet("mary", "example.test", "other", 0), 0);
    Accounts inner;
    EXPECT_EQ(mailAuthIterateAll(lookUpInside, &inner), 1);
    EXPECT_EQ(inner.size(), 3u);
    EXPECT_EQ(inner["mary@example.test"].password, "other");
    EXPECT_EQ(passwordOf(ADDRESS), "s3cret");
    EXPECT_EQ(passwordOf("mary@example.test"), "other");
}

} // namespace
