// Administration of the mail authentication database: users and domains set,
// copied, renamed and removed, and their round trips through lookups.
#include "mail/dovecot/authdb/mail_auth_db.h"

#include "tests/authdb/test_mail_auth_support.h"

#include <gtest/gtest.h>

namespace {

using MailAuthAdmin = MailAuthDbTest;

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
