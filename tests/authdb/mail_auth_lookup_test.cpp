// Account lookups in the mail authentication database.
#include "mail/dovecot/authdb/mail_auth_db.h"

#include "tests/authdb/test_mail_auth_support.h"

#include <gtest/gtest.h>

#include <crypt.h>

#include <string>
#include <vector>

namespace {

using MailAuthLookup = MailAuthDbTest;

TEST_F(MailAuthLookup, MalformedAddressesAreRefusedBeforeOpening) {
    mailAuthDBSetPath(dir.file("absent.db").c_str());
    for (const char *address : {"@example.test", "john@", "john", ""}) {
        MailAuthLog log;
        int rc = 0;
        EXPECT_EQ(check(address, &rc).calls, 0);
        EXPECT_EQ(rc, -1) << address;
        ASSERT_EQ(LogCapture::lines().size(), 1u) << address;
        EXPECT_TRUE(log.contains(3, std::string("Invalid mail address '") + address + "'"));
    }
}

TEST_F(MailAuthLookup, MissingDatabaseFailsEveryLookup) {
    const std::string absent = dir.file("absent.db");
    mailAuthDBSetPath(absent.c_str());
    MailAuthLog log;
    Found found;
    Accounts accounts;
    EXPECT_EQ(mailAuthCheck("john@example.test", recordFound, &found), -1);
    EXPECT_EQ(mailAuthCheckShort("john", collectAccount, &accounts), -1);
    EXPECT_EQ(mailAuthIterateAll(collectAccount, &accounts), -1);
    EXPECT_EQ(LogCapture::lines().size(), 3u);
    EXPECT_TRUE(log.contains(3, "Unable to open database(readonly) " + absent +
                                    ": unable to open database file"));
    EXPECT_EQ(access(absent.c_str(), F_OK), -1) << "lookups never create the file";
}

TEST_F(MailAuthLookup, AddressesMatchInAnyCaseAndPassAsTyped) {
    ASSERT_EQ(mailAuthSet("John", "Example.TEST", "s3cret", 0), 0);
    EXPECT_EQ(value("SELECT u.name || '@' || d.name FROM users u, domains d"), "john@example.test");
    int rc = 0;
    Found found = check("JOHN@example.Test", &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(found.address, "JOHN@example.Test");
    EXPECT_EQ(found.account, (Account{"s3cret", 0}));

    MailAuthLog log;
    EXPECT_EQ(check("jane@example.test", &rc).calls, 0);
    EXPECT_EQ(rc, 1);
    EXPECT_TRUE(log.contains(6, "No such user 'jane@example.test' in mail authorization database"));
}

TEST_F(MailAuthLookup, DisabledUsersAndDomainsAreFlaggedNotRefused) {
    ASSERT_EQ(mailAuthSet("off", "a.test", "pw", MAIL_AUTH_FLAG_USER_DISABLED), 0);
    ASSERT_EQ(mailAuthSet("on", "a.test", "pw", 0), 0);
    EXPECT_EQ(check("off@a.test").account.flags, MAIL_AUTH_FLAG_USER_DISABLED);
    ASSERT_EQ(mailAuthDisableDomain("A.test"), 0);
    EXPECT_EQ(check("on@a.test").account.flags, MAIL_AUTH_FLAG_DOMAIN_DISABLED);
    EXPECT_EQ(check("off@a.test").account.flags,
              MAIL_AUTH_FLAG_USER_DISABLED | MAIL_AUTH_FLAG_DOMAIN_DISABLED);
    ASSERT_EQ(mailAuthEnableDomain("a.TEST"), 0);
    EXPECT_EQ(check("on@a.test").account.flags, 0u);
}

TEST_F(MailAuthLookup, PasswordsArriveUsable) {
    const char *hash = crypt("pw", "$6$saltsalt$");
    ASSERT_NE(hash, nullptr);
    const std::string stored_hash = hash;
    ASSERT_EQ(mailAuthSet("enc", "a.test", "plain pw", 0), 0);
    ASSERT_EQ(mailAuthSet("hash", "a.test", stored_hash.c_str(), MAIL_AUTH_FLAG_CRYPT), 0);
    ASSERT_EQ(
        sql("INSERT INTO users (dom_id, name, userPassword) VALUES (1, 'legacy', 'kept plain')"),
        "");

    EXPECT_EQ(check("enc@a.test").account, (Account{"plain pw", 0}));
    EXPECT_EQ(check("hash@a.test").account, (Account{stored_hash, MAIL_AUTH_FLAG_CRYPT}));
    MailAuthLog log;
    EXPECT_EQ(check("legacy@a.test").account, (Account{"kept plain", 0}));
    EXPECT_TRUE(log.contains(3, "Failed to decrypt password for mail address 'legacy@a.test'"));

    // Without the key, encrypted text cannot be read back: it passes as stored.
    ASSERT_EQ(unlink(key_path.c_str()), 0);
    const std::string encrypted = value("SELECT userPassword FROM users WHERE name = 'enc'");
    EXPECT_EQ(check("enc@a.test").account.password, encrypted);
    EXPECT_TRUE(log.contains(
        3, "Failed to initialize password cipher context (for mail address 'enc@a.test')"));
}

TEST_F(MailAuthLookup, AccountsWithoutPasswordFailTheLookupButNotTheWalk) {
    ASSERT_EQ(mailAuthSet("none", "a.test", nullptr, 0), 0);
    ASSERT_EQ(mailAuthSet("some", "a.test", "pw", 0), 0);
    ASSERT_EQ(sql("INSERT INTO domains (name) VALUES (NULL); INSERT INTO users (dom_id, name, "
                  "userPassword) "
                  "VALUES (2, 'nameless', 'x')"),
              "");
    MailAuthLog log;
    int rc = 0;
    EXPECT_EQ(check("none@a.test", &rc).calls, 0);
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(log.contains(
        6, "NULL password fields (both plain and encrypted) for user none@a.test, skipped"));

    EXPECT_EQ(allAccounts(), (Accounts{{"some@a.test", {"pw", 0}}}));
    EXPECT_TRUE(log.contains(
        6, "empty password properties (both plain and encrypted) for user none@a.test, skipped"));
    EXPECT_TRUE(log.contains(4, "NULL or empty mail address stored in the database, skipped"));
}

// A callback that answers from a script and records the addresses it saw.
struct Script {
    std::vector<int> answers;
    std::vector<std::string> seen;
};

int scripted(const char *address, const char *, unsigned char, void *data) {
    Script *script = static_cast<Script *>(data);
    const int answer = script->answers[script->seen.size()];
    script->seen.push_back(address);
    return answer;
}

TEST_F(MailAuthLookup, WalksEndWithTheCallbacksAnswer) {
    Script empty{{}, {}};
    EXPECT_EQ(mailAuthIterateAll(scripted, &empty), 1);
    EXPECT_EQ(mailAuthCheckShort("x", scripted, &empty), 1);

    ASSERT_EQ(mailAuthSet("x", "b.test", "1", 0), 0);
    ASSERT_EQ(mailAuthSet("y", "a.test", "2", 0), 0);
    ASSERT_EQ(mailAuthSet("x", "a.test", "3", 0), 0);
    Script all{{2, 3, 4}, {}};
    EXPECT_EQ(mailAuthIterateAll(scripted, &all), 4);
    EXPECT_EQ(all.seen, (std::vector<std::string>{"x@a.test", "y@a.test", "x@b.test"}));

    Script stop{{0, 9}, {}};
    EXPECT_EQ(mailAuthIterateAll(scripted, &stop), 0);
    EXPECT_EQ(stop.seen.size(), 1u);
    Script negative{{-5, 9}, {}};
    EXPECT_EQ(mailAuthCheckShort("X", scripted, &negative), -5);

    Accounts short_names;
    EXPECT_EQ(mailAuthCheckShort("X", collectAccount, &short_names), 1);
    EXPECT_EQ(short_names, (Accounts{{"x@a.test", {"3", 0}}, {"x@b.test", {"1", 0}}}));
}

} // namespace
