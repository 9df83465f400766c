// Account lookups and administration of the mail authentication database, and
// their round trips.
#include "mail/dovecot/authdb/mail_auth_db.h"

#include "tests/authdb/test_mail_auth_support.h"

#include <gtest/gtest.h>

#include <crypt.h>

#include <string>
#include <vector>

namespace {

using MailAuthLookup = MailAuthDbTest;
using MailAuthAdmin = MailAuthDbTest;

// What a single-account lookup delivered; answer is what the callback returns.
struct Found {
    int calls = 0;
    std::string address;
    Account account{};
    int answer = 0;
};

int recordFound(const char *address, const char *password, unsigned char flags, void *data) {
    Found *found = static_cast<Found *>(data);
    found->calls++;
    found->address = address;
    found->account = Account{password, flags};
    return found->answer;
}

Found check(const char *address, int *rc = nullptr) {
    Found found;
    const int result = mailAuthCheck(address, recordFound, &found);
    if (rc != nullptr)
        *rc = result;
    return found;
}

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

TEST_F(MailAuthAdmin, SetCreatesDomainsAndStoresOneKindOfPassword) {
    ASSERT_EQ(mailAuthSet("u", "new.test", "pw", 0), 0);
    ASSERT_EQ(mailAuthSet("u", "off.test", "pw", MAIL_AUTH_FLAG_DOMAIN_DISABLED), 0);
    EXPECT_EQ(value("SELECT group_concat(name || '=' || status, ' ') FROM domains"),
              "new.test=0 off.test=1");
    // An existing domain keeps its status.
    ASSERT_EQ(mailAuthSet("v", "new.test", "pw", MAIL_AUTH_FLAG_DOMAIN_DISABLED), 0);
    EXPECT_EQ(value("SELECT status FROM domains WHERE name = 'new.test'"), "0");

    EXPECT_EQ(
        value("SELECT substr(userPassword, 1, 18) || ' ' || ifnull(cmusaslsecretPLAIN, '<null>') "
              "FROM users WHERE name = 'u' AND dom_id = 1"),
        "$AES-256-CBC:PKCS$ <null>");
    ASSERT_EQ(mailAuthSet("U", "New.test", "$1$hash", MAIL_AUTH_FLAG_CRYPT), 0);
    EXPECT_EQ(value("SELECT ifnull(userPassword, '<null>') || ' ' || cmusaslsecretPLAIN "
                    "FROM users WHERE name = 'u' AND dom_id = 1"),
              "<null> $1$hash");
    EXPECT_EQ(value("SELECT COUNT(*) FROM users"), "3");
}

TEST_F(MailAuthAdmin, SetWithoutUsableKeyWritesNothing) {
    writeFile(key_path, "short");
    EXPECT_EQ(mailAuthSet("u", "a.test", "pw", 0), -1);
    EXPECT_EQ(value("SELECT COUNT(*) FROM domains"), "0");
    EXPECT_EQ(mailAuthSet("u", "a.test", "$1$hash", MAIL_AUTH_FLAG_CRYPT), 0)
        << "hashes need no key";
}

TEST_F(MailAuthAdmin, MissingNamesAreRefused) {
    MailAuthLog log;
    EXPECT_EQ(mailAuthSet(nullptr, "a.test", "pw", 0), -1);
    EXPECT_EQ(mailAuthSet("u", "", "pw", 0), -1);
    EXPECT_EQ(mailAuthRemoveDomain(nullptr), -1);
    EXPECT_EQ(value("SELECT COUNT(*) FROM domains"), "0");
}

TEST_F(MailAuthAdmin, RemovalsOfWhatIsMissingAndRenames) {
    ASSERT_EQ(mailAuthSet("u", "a.test", "pw", 0), 0);
    ASSERT_EQ(mailAuthSet("taken", "a.test", "pw", 0), 0);
    ASSERT_EQ(mailAuthSet("u", "b.test", "pw", 0), 0);
    {
        MailAuthLog log;
        EXPECT_EQ(mailAuthRemove("u", "missing.test"), 0);
        EXPECT_EQ(mailAuthRemove("missing", "a.test"), 0);
        EXPECT_EQ(mailAuthRename("missing", "other", "a.test"), 0);
        EXPECT_EQ(mailAuthDisableDomain("missing.test"), 0);
        EXPECT_EQ(mailAuthRenameDomain("missing.test", "x.test"), 0);
        EXPECT_TRUE(LogCapture::lines().empty());
        EXPECT_EQ(mailAuthRename("u", "v", "missing.test"), -1);
        EXPECT_TRUE(log.contains(3, "No such domain 'missing.test' in the mail authentication DB"));
    }
    MailAuthLog log;
    EXPECT_EQ(mailAuthRename("U", "taken", "a.test"), -1);
    EXPECT_TRUE(
        log.contains(3, "Unable to execute the mail authorization renaming query: UPDATE users SET "
                        "name=LOWER(?) WHERE name=LOWER(?) AND dom_id=?: UNIQUE constraint failed: "
                        "users.name, users.dom_id"));
    EXPECT_EQ(mailAuthRenameDomain("a.test", "B.test"), -1);
    EXPECT_TRUE(log.contains(
        3, "Unable to execute the mail domain authorization name change query: UPDATE domains "
           "SET name=LOWER(?) WHERE name=LOWER(?): UNIQUE constraint failed: domains.name"));

    EXPECT_EQ(set_postbox_passwd("u", "A.test", "", 0), 0);
    EXPECT_EQ(check("u@a.test").calls, 0);
    EXPECT_EQ(check("u@b.test").calls, 1) << "the same name elsewhere stays";
}

TEST_F(MailAuthAdmin, CloneCopiesStoredPasswordAndFlags) {
    ASSERT_EQ(mailAuthClone("ghost", "a.test", "copy", "c.test"), 0);
    EXPECT_EQ(value("SELECT COUNT(*) FROM domains"), "0");

    ASSERT_EQ(mailAuthSet("u", "a.test", "pw",
                          MAIL_AUTH_FLAG_USER_DISABLED | MAIL_AUTH_FLAG_DOMAIN_DISABLED),
              0);
    ASSERT_EQ(mailAuthSet("h", "a.test", "$1$hash", MAIL_AUTH_FLAG_CRYPT), 0);
    ASSERT_EQ(mailAuthClone("U", "A.test", "Copy", "C.test"), 0);
    ASSERT_EQ(mailAuthClone("h", "a.test", "h", "b.test"), 0);
    EXPECT_EQ(value("SELECT userPassword FROM users WHERE name = 'copy'"),
              value("SELECT userPassword FROM users WHERE name = 'u'"))
        << "copied without decrypting";
    EXPECT_EQ(check("copy@c.test").account,
              (Account{"pw", MAIL_AUTH_FLAG_USER_DISABLED | MAIL_AUTH_FLAG_DOMAIN_DISABLED}));
    EXPECT_EQ(check("h@b.test").account,
              (Account{"$1$hash", MAIL_AUTH_FLAG_CRYPT | MAIL_AUTH_FLAG_DOMAIN_DISABLED}));
}

TEST_F(MailAuthAdmin, AccountRoundTrip) {
    ASSERT_EQ(set_postbox_passwd("Mary", "Shop.test", "first", 0), 0);
    EXPECT_EQ(check("mary@shop.test").account.password, "first");
    ASSERT_EQ(mailAuthSet("mary", "shop.test", "second", 0), 0);
    EXPECT_EQ(check("MARY@shop.test").account.password, "second");

    ASSERT_EQ(mailAuthRename("MARY", "Marie", "SHOP.test"), 0);
    EXPECT_EQ(check("mary@shop.test").calls, 0);
    EXPECT_EQ(check("marie@shop.test").account.password, "second");

    ASSERT_EQ(mailAuthClone("marie", "shop.test", "marie", "home.test"), 0);
    ASSERT_EQ(mailAuthRenameDomain("home.test", "House.test"), 0);
    EXPECT_EQ(check("marie@house.test").account.password, "second");

    ASSERT_EQ(mailAuthSet("other", "shop.test", "x", 0), 0);
    ASSERT_EQ(mailAuthRemoveDomain("Shop.TEST"), 0);
    EXPECT_EQ(allAccounts(), (Accounts{{"marie@house.test", {"second", 0}}}));
    EXPECT_EQ(value("SELECT COUNT(*) FROM users"), "1");
}

} // namespace
