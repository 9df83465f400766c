// What reaches the database: hashes made and accepted, accounts as read back and
// shown, and init that never replaces.
#include "admin/account_output.h"
#include "admin/commands.h"
#include "admin/crypt_hash.h"
#include "tests/authdb/test_mail_auth_support.h"

#include <gtest/gtest.h>

#include <crypt.h>

#include <sstream>

using namespace velka::admin;

namespace {

TEST(CryptHash, MakesSaltedSha512HashesThatCheck) {
    std::string first, second, error;
    ASSERT_TRUE(makeSha512Crypt("Pass word", &first, &error)) << error;
    ASSERT_TRUE(makeSha512Crypt("Pass word", &second, &error)) << error;
    EXPECT_EQ(first.rfind("$6$", 0), 0u);
    EXPECT_NE(first, second);
    EXPECT_EQ(crypt("Pass word", first.c_str()), first);
    // As well as the hashes Dovecot accepts through crypt() without naming them.
    for (const std::string &hash : {first, std::string("$md5$saltsalt$$AwTK9NcD4mwX/JqjHYiIQ.")})
        EXPECT_TRUE(storableHash(hash.c_str(), &error)) << error;
}

TEST(CryptHash, RefusesWhatDovecotRefusesOrCannotCheck) {
    const struct {
        const char *hash;
        const char *said;
    } cases[] = {
        {"$1$saltsalt$qjXMvbEw8oaL.CzflDugX/", "MD5-CRYPT is a weak scheme"},
        {"abJnggxhB/yWI", "DES-CRYPT is a weak scheme"},
        {"_J9..saltwnI2rc8vjR.", "DES-CRYPT is a weak scheme"},
        {"Plain-password-7", "no crypt hash"},
        {"$6$saltsalt$cut-short", "malformed"},
        {"$2b$99$abcdefghijklmnopqrstuu5Zk3wXy0wA5hGg0TjT0JkOqzFvrH2aW", "malformed"},
    };
    for (const auto &c : cases) {
        std::string error;
        EXPECT_FALSE(storableHash(c.hash, &error)) << c.hash;
        EXPECT_NE(error.find(c.said), std::string::npos) << error;
    }
}

class AdminStoreTest : public MailAuthDbTest {
protected:
    // Runs init on this fixture's paths, root-owned as an unknown style gives them.
    int init() {
        AdminContext ctx;
        ctx.style = 2;
        ctx.databasePath = db_path;
        ctx.keyPath = key_path;
        return runInit(ctx);
    }
};

TEST_F(AdminStoreTest, ReadsHowEachPasswordIsKeptAndShowsNone) {
    std::string hash, error;
    ASSERT_TRUE(makeSha512Crypt("Crypt-pw-1", &hash, &error));
    ASSERT_EQ(mailAuthSet("aes", "a.test", "Aes-pw-1", 0), 0);
    ASSERT_EQ(mailAuthSet("crypt", "a.test", hash.c_str(), MAIL_AUTH_FLAG_CRYPT), 0);
    ASSERT_EQ(mailAuthSet("off", "b.test", "Off-pw-1", MAIL_AUTH_FLAG_USER_DISABLED), 0);
    ASSERT_EQ(sql("INSERT INTO users (dom_id, name, userPassword) VALUES (1, 'plain', "
                  "'Plain-pw-1'), (1, 'none', '')"),
              "");
    ASSERT_EQ(mailAuthDisableDomain("b.test"), 0);

    std::vector<StoredAccount> accounts;
    ASSERT_TRUE(readAccounts("", &accounts));
    std::ostringstream json;
    printAccountsJson(json, accounts);
    EXPECT_EQ(json.str(),
              "[{\"address\": \"aes@a.test\", \"kind\": \"aes\", \"scheme\": \"AES-256-CBC\", "
              "\"user_enabled\": true, \"domain_enabled\": true},\n"
              " {\"address\": \"crypt@a.test\", \"kind\": \"crypt\", \"scheme\": "
              "\"SHA512-CRYPT\", \"user_enabled\": true, \"domain_enabled\": true},\n"
              " {\"address\": \"none@a.test\", \"kind\": \"none\", \"scheme\": null, "
              "\"user_enabled\": true, \"domain_enabled\": true},\n"
              " {\"address\": \"plain@a.test\", \"kind\": \"plain\", \"scheme\": \"PLAIN\", "
              "\"user_enabled\": true, \"domain_enabled\": true},\n"
              " {\"address\": \"off@b.test\", \"kind\": \"aes\", \"scheme\": \"AES-256-CBC\", "
              "\"user_enabled\": false, \"domain_enabled\": false}]\n");
    // Plain text is never even read.
    for (const StoredAccount &account : accounts)
        EXPECT_EQ(account.stored.find("Plain-pw-1"), std::string::npos);

    accounts.clear();
    ASSERT_TRUE(readAccounts("B.TEST", &accounts));
    ASSERT_EQ(accounts.size(), 1u);
    EXPECT_EQ(accounts[0].address, "off@b.test");
}

TEST_F(AdminStoreTest, InitNeverReplacesADatabaseOrAKey) {
    const std::string key = readFile(key_path);
    EXPECT_EQ(init(), EXIT_FAILED);
    ASSERT_EQ(unlink(db_path.c_str()), 0);
    EXPECT_EQ(init(), EXIT_FAILED); // the key alone
    EXPECT_EQ(readFile(key_path), key);
    EXPECT_NE(access(db_path.c_str(), F_OK), 0);

    ASSERT_EQ(unlink(key_path.c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent", key_path.c_str()), 0); // a dangling link counts
    EXPECT_EQ(init(), EXIT_FAILED);
    ASSERT_EQ(unlink(key_path.c_str()), 0);
    EXPECT_EQ(init(), EXIT_OK);
    EXPECT_EQ(readFile(key_path).size(), 32u);
    EXPECT_FALSE(readFile(db_path).empty());
}

} // namespace
