// Replacing the password key: every password readable before, during (an
// interruption after the commit) and after, by a process that read the old key.
#include "mail/dovecot/authdb/mail_aes.h"
#include "tests/authdb/test_mail_auth_support.h"

#include <syslog.h>

#include <cstdio>

namespace {

class MailAuthRotateTest : public MailAuthDbTest {
protected:
    void SetUp() override {
        MailAuthDbTest::SetUp();
        ASSERT_EQ(mailAuthSet("alice", "example.com", "alice-secret", 0), 0);
        ASSERT_EQ(mailAuthSet("bob", "example.org", "bob-secret", 0), 0);
        ASSERT_EQ(mailAuthSet("carol", "example.org", "$6$salt$hash", MAIL_AUTH_FLAG_CRYPT), 0);
        expected = allAccounts(); // also makes this process read the old key
        ASSERT_EQ(expected.size(), 3u);
    }

    std::string pending() const { return key_path + ".new"; }

    Accounts expected;
};

TEST_F(MailAuthRotateTest, EveryPasswordChangesKeyAndStaysReadable) {
    const std::string old_key = readFile(key_path);
    const std::string old_text = value("SELECT userPassword FROM users WHERE name='alice'");
    long rotated = -1, undecryptable = -1;
    ASSERT_EQ(mailAuthRotateKey(&rotated, &undecryptable), 0);
    EXPECT_EQ(rotated, 2);
    EXPECT_EQ(undecryptable, 0);
    EXPECT_NE(readFile(key_path), old_key);
    EXPECT_EQ(readFile(key_path).size(), 32u);
    EXPECT_NE(access(pending().c_str(), F_OK), 0);
    EXPECT_NE(value("SELECT userPassword FROM users WHERE name='alice'"), old_text);
    EXPECT_EQ(allAccounts(), expected);

    // Writes after it use the new key too.
    ASSERT_EQ(mailAuthSet("dave", "example.com", "dave-secret", 0), 0);
    EXPECT_EQ(passwordOf("dave@example.com"), "dave-secret");
}

// Interrupted between its commit and the rename: the passwords are under the
// key still waiting beside the key file. Lookups find it, and the next run only
// puts it in place.
TEST_F(MailAuthRotateTest, InterruptionAfterCommitIsReadableAndFinishedNextTime) {
    ASSERT_EQ(mailAuthRotateKey(nullptr, nullptr), 0);
    const std::string committed_key = readFile(key_path);
    ASSERT_EQ(mailAuthRotateKey(nullptr, nullptr), 0);
    const std::string new_key = readFile(key_path);
    ASSERT_EQ(rename(key_path.c_str(), pending().c_str()), 0);
    writeFile(key_path, committed_key);

    EXPECT_EQ(allAccounts(), expected);
    ASSERT_EQ(mailAuthRotateKey(nullptr, nullptr), 1);
    EXPECT_EQ(readFile(key_path), new_key);
    EXPECT_NE(access(pending().c_str(), F_OK), 0);
    EXPECT_EQ(allAccounts(), expected);
}

// A key file that is not the one the passwords were recorded under (a database
// restored without its key) is refused, and nothing changes.
TEST_F(MailAuthRotateTest, RefusesAKeyThePasswordsAreNotUnder) {
    ASSERT_EQ(mailAuthRotateKey(nullptr, nullptr), 0);
    const std::string text = value("SELECT userPassword FROM users WHERE name='alice'");
    ASSERT_EQ(mailAuthKeyInit(), 0);
    MailAuthLog log;
    EXPECT_EQ(mailAuthRotateKey(nullptr, nullptr), -1);
    EXPECT_TRUE(log.contains(LOG_ERR, "'" + key_path +
                                          "' does not hold the key the database's passwords are "
                                          "encrypted under: restore the key file backed up with "
                                          "the database first"));
    EXPECT_EQ(value("SELECT userPassword FROM users WHERE name='alice'"), text);
}

} // namespace
