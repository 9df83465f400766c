// The plug-in's glue outside Dovecot: the account callback's decisions and the
// lookup modes against a scratch database, with a stand-in data stack.
#include "mail/dovecot/authdb/db-velka.h"

#include "tests/authdb/db-velka_stub.h"
#include "tests/authdb/test_mail_auth_support.h"

#include <gtest/gtest.h>

#include <crypt.h>

#include <string>

namespace {

const velka_mail_args LONG_NAMES_ONLY = {"QMail", VELKA_MAIL_ARG_MAILDIR_STAT};
const velka_mail_args SHORT_NAMES = {"QMail", VELKA_MAIL_ARG_SHORTNAMES};

std::string text(const char *s) {
    return s != nullptr ? s : "<null>";
}

class CheckerTest : public ::testing::Test {
protected:
    void TearDown() override { db_velka_stub_pop(); }

    int check(const velka_mail_args &args, const char *supplied, bool plain, const char *stored,
              unsigned char flags) {
        auth = velka_mail_auth{};
        auth.args = &args;
        auth.password = supplied;
        auth.plain = plain;
        return mail_auth_checker(address, stored, flags, &auth);
    }

    char address[32] = "Ann@Example.test";
    velka_mail_auth auth{};
};

TEST_F(CheckerTest, DisabledUserOrDomainIsRefusedWhateverThePassword) {
    for (unsigned char flags : {MAIL_AUTH_FLAG_USER_DISABLED, MAIL_AUTH_FLAG_DOMAIN_DISABLED}) {
        EXPECT_EQ(check(SHORT_NAMES, "pw", true, "pw", flags), VELKA_LOOKUP_DISABLED);
        EXPECT_EQ(auth.stored_password, nullptr);
        EXPECT_EQ(text(auth.address), "Ann@Example.test");
    }
    // The address is the lookup's own copy.
    EXPECT_NE(auth.address, address);
}

TEST_F(CheckerTest, WithoutShortNamesThePasswordIsLeftToDovecot) {
    EXPECT_EQ(check(LONG_NAMES_ONLY, "wrong", true, "stored", 0), VELKA_LOOKUP_FOUND);
    EXPECT_EQ(text(auth.stored_password), "stored");
    EXPECT_EQ(text(auth.scheme), "PLAIN");
    EXPECT_EQ(check(LONG_NAMES_ONLY, nullptr, false, "$6$x$y", MAIL_AUTH_FLAG_CRYPT),
              VELKA_LOOKUP_FOUND);
    EXPECT_EQ(text(auth.scheme), "CRYPT");
    // A credentials lookup never compares, short names or not.
    EXPECT_EQ(check(SHORT_NAMES, nullptr, false, "stored", 0), VELKA_LOOKUP_FOUND);
    EXPECT_EQ(text(auth.stored_password), "stored");
}

TEST_F(CheckerTest, WithShortNamesPlainTextIsComparedHere) {
    EXPECT_EQ(check(SHORT_NAMES, "secret", true, "secret", 0), VELKA_LOOKUP_FOUND);
    EXPECT_EQ(text(auth.stored_password), "secret");
    for (const char *wrong : {"Secret", "secret ", "secre", ""}) {
        EXPECT_EQ(check(SHORT_NAMES, wrong, true, "secret", 0), VELKA_LOOKUP_MISMATCH) << wrong;
        EXPECT_EQ(auth.stored_password, nullptr);
        EXPECT_EQ(text(auth.scheme), "PLAIN");
    }
    EXPECT_EQ(check(SHORT_NAMES, nullptr, true, "secret", 0), VELKA_LOOKUP_MISMATCH);
}

TEST_F(CheckerTest, WithShortNamesACryptHashIsCheckedWithCrypt) {
    const std::string hash = crypt("secret", "$6$saltsalt$");
    EXPECT_EQ(check(SHORT_NAMES, "secret", true, hash.c_str(), MAIL_AUTH_FLAG_CRYPT),
              VELKA_LOOKUP_FOUND);
    EXPECT_EQ(text(auth.stored_password), hash);
    EXPECT_EQ(text(auth.scheme), "CRYPT");
    EXPECT_EQ(check(SHORT_NAMES, "wrong", true, hash.c_str(), MAIL_AUTH_FLAG_CRYPT),
              VELKA_LOOKUP_MISMATCH);
    // The hash itself typed as the password is no match, nor is anything for a
    // value that is no hash.
    EXPECT_EQ(check(SHORT_NAMES, hash.c_str(), true, hash.c_str(), MAIL_AUTH_FLAG_CRYPT),
              VELKA_LOOKUP_MISMATCH);
    for (const char *bogus : {"*", "!", "*0", "x"})
        EXPECT_EQ(check(SHORT_NAMES, bogus, true, bogus, MAIL_AUTH_FLAG_CRYPT),
                  VELKA_LOOKUP_MISMATCH)
            << bogus;
}

TEST_F(CheckerTest, AnEmptyStoredPasswordNeverMatches) {
    EXPECT_EQ(check(SHORT_NAMES, "", true, "", 0), VELKA_LOOKUP_MISMATCH);
    EXPECT_EQ(check(LONG_NAMES_ONLY, "", true, "", 0), VELKA_LOOKUP_MISMATCH);
    EXPECT_EQ(check(LONG_NAMES_ONLY, nullptr, false, "", 0), VELKA_LOOKUP_MISMATCH);
    EXPECT_EQ(check(LONG_NAMES_ONLY, nullptr, false, "", MAIL_AUTH_FLAG_CRYPT),
              VELKA_LOOKUP_MISMATCH);
    EXPECT_EQ(auth.stored_password, nullptr);
}

class LookupTest : public MailAuthDbTest {
protected:
    void SetUp() override {
        MailAuthDbTest::SetUp();
        ASSERT_EQ(mailAuthSet("shared", "one.test", "pw-one", 0), 0);
        ASSERT_EQ(mailAuthSet("shared", "two.test", "pw-two", 0), 0);
        ASSERT_EQ(mailAuthSet("shared", "off.test", "pw-off", MAIL_AUTH_FLAG_DOMAIN_DISABLED), 0);
    }
    void TearDown() override {
        db_velka_stub_pop();
        MailAuthDbTest::TearDown();
    }

    // The outcome of the plug-in's lookup of user with password.
    static int resultOf(const char *user, const char *password, const velka_mail_args &args,
                        bool plain) {
        return velka_mail_auth_lookup(user, password, &args, plain)->result;
    }

    MailAuthLog log;
};

TEST_F(LookupTest, BareNamesNeedPlainTextAndShortNames) {
    EXPECT_EQ(resultOf("shared", nullptr, SHORT_NAMES, false), VELKA_LOOKUP_SHORT_NOT_PLAIN);
    EXPECT_EQ(resultOf("shared", "pw-one", LONG_NAMES_ONLY, true), VELKA_LOOKUP_SHORT_REFUSED);
    EXPECT_EQ(resultOf("nobody", "pw-one", SHORT_NAMES, true), VELKA_LOOKUP_UNKNOWN);
}

TEST_F(LookupTest, TheFirstAccountWhosePasswordMatchesWins) {
    for (const char *domain : {"one.test", "two.test"}) {
        const std::string password = std::string("pw-") + (domain[0] == 'o' ? "one" : "two");
        velka_mail_auth *auth =
            velka_mail_auth_lookup("SHARED", password.c_str(), &SHORT_NAMES, true);
        EXPECT_EQ(auth->result, VELKA_LOOKUP_FOUND);
        EXPECT_EQ(text(auth->address), std::string("shared@") + domain);
        EXPECT_EQ(text(auth->stored_password), password);
    }
    // Each account is refused for its own reason; the last one tried decides.
    const int result = resultOf("shared", "pw-off", SHORT_NAMES, true);
    EXPECT_TRUE(result == VELKA_LOOKUP_DISABLED || result == VELKA_LOOKUP_MISMATCH) << result;
    EXPECT_NE(resultOf("shared", "nothing", SHORT_NAMES, true), VELKA_LOOKUP_FOUND);
}

TEST_F(LookupTest, FullAddresses) {
    velka_mail_auth *auth =
        velka_mail_auth_lookup("Shared@Two.Test", "pw-one", &LONG_NAMES_ONLY, true);
    EXPECT_EQ(auth->result, VELKA_LOOKUP_FOUND);
    EXPECT_EQ(text(auth->address), "Shared@Two.Test");
    EXPECT_EQ(resultOf("shared@two.test", "pw-one", SHORT_NAMES, true), VELKA_LOOKUP_MISMATCH);
    EXPECT_EQ(resultOf("shared@off.test", "pw-off", SHORT_NAMES, true), VELKA_LOOKUP_DISABLED);
    EXPECT_EQ(resultOf("shared@three.test", nullptr, SHORT_NAMES, false), VELKA_LOOKUP_UNKNOWN);
    for (const char *malformed : {"@one.test", "shared@", "@"})
        EXPECT_EQ(resultOf(malformed, "pw-one", SHORT_NAMES, true), VELKA_LOOKUP_INTERNAL)
            << malformed;
}

// A password the database layer could not decrypt arrives as its stored text; typing
// that text must not log in, in any mode. Known from the lookup, not from the text: a
// password of the user's own that merely begins like a stored text works.
TEST_F(LookupTest, AStoredTextThatFailedToDecryptIsNoPassword) {
    const char *own = "$AES-256-CBC:PKCS$AAAAAAAAAAAAAAAAAAAAAA==$AAAAAAAAAAAAAAAAAAAAAA==";
    ASSERT_EQ(mailAuthSet("odd", "one.test", own, 0), 0);
    const std::string stored = value("SELECT userPassword FROM users WHERE name='odd'");
    for (const velka_mail_args *args : {&SHORT_NAMES, &LONG_NAMES_ONLY}) {
        velka_mail_auth *auth = velka_mail_auth_lookup("odd@one.test", own, args, true);
        EXPECT_EQ(auth->result, VELKA_LOOKUP_FOUND);
        EXPECT_EQ(text(auth->stored_password), own);
    }
    EXPECT_EQ(resultOf("odd", own, SHORT_NAMES, true), VELKA_LOOKUP_FOUND);
    // A password kept unencrypted does not decrypt either, and is a password.
    EXPECT_EQ(sql("UPDATE users SET userPassword='kept-plain' WHERE name='odd'"), "");
    EXPECT_EQ(resultOf("odd@one.test", "kept-plain", SHORT_NAMES, true), VELKA_LOOKUP_FOUND);
    EXPECT_EQ(sql("UPDATE users SET userPassword='" + stored + "' WHERE name='odd'"), "");

    writeFile(key_path, "");
    for (const velka_mail_args *args : {&SHORT_NAMES, &LONG_NAMES_ONLY}) {
        velka_mail_auth *auth = velka_mail_auth_lookup("odd@one.test", stored.c_str(), args, true);
        EXPECT_EQ(auth->result, VELKA_LOOKUP_INTERNAL);
        EXPECT_EQ(auth->stored_password, nullptr);
        EXPECT_EQ(velka_mail_auth_lookup("odd@one.test", nullptr, args, false)->result,
                  VELKA_LOOKUP_INTERNAL);
    }
}

// A value with a NUL byte inside is not the text before it, in whichever column;
// a status counts by the integer it begins with.
TEST_F(LookupTest, OddStoredValues) {
    const std::string one_test = "dom_id=(SELECT id FROM domains WHERE name='one.test')";
    for (const char *column : {"userPassword", "cmusaslsecretPLAIN"}) {
        EXPECT_EQ(sql(std::string("UPDATE users SET userPassword=NULL, ") + column +
                      "=CAST(X'61620063' AS TEXT) WHERE " + one_test),
                  "");
        for (const velka_mail_args *args : {&SHORT_NAMES, &LONG_NAMES_ONLY})
            EXPECT_EQ(resultOf("shared@one.test", "ab", *args, true), VELKA_LOOKUP_MISMATCH)
                << column;
    }
    const std::pair<const char *, int> statuses[] = {
        {"'abc'", VELKA_LOOKUP_MISMATCH}, {"' 0'", VELKA_LOOKUP_MISMATCH},
        {"'2x'", VELKA_LOOKUP_DISABLED},  {"4294967296", VELKA_LOOKUP_DISABLED},
        {"-1", VELKA_LOOKUP_DISABLED},
    };
    for (const auto &[status, expected] : statuses) {
        EXPECT_EQ(sql(std::string("UPDATE users SET status=") + status + " WHERE " + one_test), "");
        EXPECT_EQ(resultOf("shared@one.test", "wrong", SHORT_NAMES, true), expected) << status;
    }
}

TEST_F(LookupTest, AMissingDatabaseIsAnInternalError) {
    const std::string missing = dir.file("missing/passwd.db");
    mailAuthDBSetPath(missing.c_str());
    EXPECT_EQ(resultOf("shared@one.test", "pw-one", SHORT_NAMES, true), VELKA_LOOKUP_INTERNAL);
    EXPECT_EQ(resultOf("shared", "pw-one", SHORT_NAMES, true), VELKA_LOOKUP_INTERNAL);
}

TEST(DbVelkaDeathTest, AnUnknownServerStyleStopsTheProcess) {
    const velka_mail_args args = {"Exim", 0};
    EXPECT_EXIT(velka_mail_init(&args), ::testing::ExitedWithCode(89),
                "Fatal: authdb velka: Unknown setting: smtp_server=Exim");
}

TEST(DbVelkaDeathTest, AMaildirCheckWithoutDomainIsAProgrammingError) {
    const char *path = nullptr;
    EXPECT_DEATH(check_maildir_exists("nodomain", &path),
                 "Panic: file .*db-velka.c: line [0-9]+ \\(check_maildir_exists\\): "
                 "assertion failed: \\(at\\)");
}

} // namespace
