// The cipher record: NIST known answers, padding modes, IV handling and the
// length checks that keep OpenSSL inside the record's buffers.
// The custom cipher below needs the EVP_CIPHER_meth_* calls that OpenSSL 3 deprecates.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "mail/dovecot/authdb/symmetric_cipher.h"

#include "tests/authdb/test_support.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

// NIST SP 800-38A, F.2.5 and F.2.6 (CBC-AES256).
const std::string NIST_KEY =
    fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
const std::string NIST_IV = fromHex("000102030405060708090a0b0c0d0e0f");
const std::string NIST_PLAIN =
    fromHex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
            "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
const std::string NIST_CIPHER =
    fromHex("f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
            "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b");

class Record : public ::testing::Test {
protected:
    void SetUp() override {
        symmetric_cipher_init(&c);
        ASSERT_TRUE(symmetric_cipher_set_key(&c, NIST_KEY.data(), NIST_KEY.size()));
    }
    void TearDown() override { EXPECT_TRUE(symmetric_cipher_cleanup(&c)); }

    std::string encrypted() const {
        size_t len = 0;
        const unsigned char *data = symmetric_cipher_get_encrypted(&c, &len);
        return data != nullptr ? std::string(reinterpret_cast<const char *>(data), len)
                               : std::string();
    }
    std::string plain() const {
        return std::string(reinterpret_cast<const char *>(c.plain), c.plain_len);
    }

    symmetric_cipher c;
};

TEST_F(Record, NistKnownAnswersWithoutPadding) {
    c.flags = SYMMETRIC_CIPHER_ZERO_FILL;
    ASSERT_TRUE(symmetric_cipher_set_iv(&c, NIST_IV.data(), NIST_IV.size()));
    ASSERT_TRUE(symmetric_cipher_set_plain(&c, NIST_PLAIN.c_str()));
    ASSERT_TRUE(encrypt_symmetric(&c));
    EXPECT_EQ(toHex(c.encrypted, c.encrypted_len), toHex(NIST_CIPHER.data(), NIST_CIPHER.size()));
    EXPECT_EQ(c.encrypted[c.encrypted_len], 0);

    ASSERT_TRUE(symmetric_cipher_set_encrypted(&c, NIST_CIPHER.data(), NIST_CIPHER.size()));
    ASSERT_TRUE(decrypt_symmetric(&c));
    EXPECT_EQ(plain(), NIST_PLAIN);

    // The second pass re-initialises the contexts with the IV only.
    ASSERT_TRUE(encrypt_symmetric(&c));
    EXPECT_EQ(encrypted(), NIST_CIPHER);
    ASSERT_TRUE(decrypt_symmetric(&c));
    EXPECT_EQ(plain(), NIST_PLAIN);
}

TEST_F(Record, PkcsPaddingAddsUpToOneBlock) {
    for (const std::string &text :
         {std::string(), std::string("abc"), std::string(16, 'p'), std::string(17, 'q')}) {
        ASSERT_TRUE(symmetric_cipher_set_plain(&c, text.c_str()));
        ASSERT_TRUE(encrypt_symmetric(&c));
        EXPECT_EQ(c.encrypted_len, static_cast<int32_t>(text.size() / 16 * 16 + 16)) << text;
        ASSERT_TRUE(decrypt_symmetric(&c));
        EXPECT_EQ(plain(), text);
    }
}

TEST_F(Record, ZeroFillReachesAWholeBlock) {
    c.flags = SYMMETRIC_CIPHER_RANDOM_IV | SYMMETRIC_CIPHER_ZERO_FILL;
    for (const std::string &text :
         {std::string(), std::string("abc"), std::string(16, 'p'), std::string(17, 'q')}) {
        ASSERT_TRUE(symmetric_cipher_set_plain(&c, text.c_str()));
        ASSERT_TRUE(encrypt_symmetric(&c));
        size_t blocks = text.empty() ? 1 : (text.size() + 15) / 16;
        EXPECT_EQ(c.encrypted_len, static_cast<int32_t>(blocks * 16)) << text;
        ASSERT_TRUE(decrypt_symmetric(&c));
        std::string filled = text;
        filled.resize(blocks * 16, '\0');
        EXPECT_EQ(plain(), filled);
    }

    // Switching the mode on a record in use reaches its contexts.
    c.flags = SYMMETRIC_CIPHER_RANDOM_IV;
    ASSERT_TRUE(symmetric_cipher_set_plain(&c, std::string(16, 'p').c_str()));
    ASSERT_TRUE(encrypt_symmetric(&c));
    EXPECT_EQ(c.encrypted_len, 32);
    ASSERT_TRUE(decrypt_symmetric(&c));
    EXPECT_EQ(plain(), std::string(16, 'p'));
}

TEST_F(Record, RandomIvChangesEveryMessage) {
    ASSERT_TRUE(symmetric_cipher_set_plain(&c, "password"));
    ASSERT_TRUE(encrypt_symmetric(&c));
    std::string first_iv(reinterpret_cast<const char *>(c.iv), 16);
    std::string first = encrypted();
    ASSERT_TRUE(encrypt_symmetric(&c));
    EXPECT_NE(std::string(reinterpret_cast<const char *>(c.iv), 16), first_iv);
    EXPECT_NE(encrypted(), first);
}

TEST_F(Record, NewKeyTakesEffectAfterUse) {
    c.flags = 0;
    ASSERT_TRUE(symmetric_cipher_set_iv(&c, NIST_IV.data(), NIST_IV.size()));
    ASSERT_TRUE(symmetric_cipher_set_plain(&c, "password"));
    ASSERT_TRUE(encrypt_symmetric(&c));
    std::string under_nist_key = encrypted();

    std::string other_key(32, 'k');
    ASSERT_TRUE(symmetric_cipher_set_key(&c, other_key.data(), other_key.size()));
    ASSERT_TRUE(encrypt_symmetric(&c));
    EXPECT_NE(encrypted(), under_nist_key);

    // The old key no longer decrypts what the new one encrypted (fixed data, so
    // the padding check fails deterministically).
    std::string under_other_key = encrypted();
    ASSERT_TRUE(symmetric_cipher_set_key(&c, NIST_KEY.data(), NIST_KEY.size()));
    ASSERT_TRUE(symmetric_cipher_set_encrypted(&c, under_other_key.data(), under_other_key.size()));
    EXPECT_FALSE(decrypt_symmetric(&c));
    EXPECT_EQ(c.plain_len, 0);
}

TEST_F(Record, RefusesShortOrMissingInput) {
    errno = 0;
    EXPECT_FALSE(symmetric_cipher_set_key(&c, NIST_KEY.data(), 31));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(symmetric_cipher_set_key(&c, nullptr, 32));
    errno = 0;
    EXPECT_FALSE(symmetric_cipher_set_iv(&c, NIST_IV.data(), 15));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(symmetric_cipher_set_plain(&c, nullptr));

    errno = 0;
    EXPECT_FALSE(encrypt_symmetric(&c)) << "no plain text yet";
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_FALSE(decrypt_symmetric(&c)) << "no cipher text yet";
    EXPECT_EQ(errno, EINVAL);

    ASSERT_TRUE(symmetric_cipher_set_encrypted(&c, "0123456789abcde", 15));
    EXPECT_FALSE(decrypt_symmetric(&c)) << "not a whole block";
    ASSERT_TRUE(symmetric_cipher_set_encrypted(&c, "", 0));
    EXPECT_EQ(symmetric_cipher_get_encrypted(&c, nullptr), nullptr);
    EXPECT_FALSE(decrypt_symmetric(&c)) << "no padding block";
}

TEST_F(Record, LengthsAreCheckedBeforeUse) {
    LogCapture log;
    char small[4] = "abc";
    errno = 0;
    EXPECT_FALSE(symmetric_cipher_set_encrypted(&c, small, 2147483647u));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(log.contains(
        4, "Attempt to feed into symmetric cipher more encrypted data (2147483647 bytes) "
           "than it's designed to handle."));

    // A length near the 32-bit limit must not reach OpenSSL's int counts.
    ASSERT_TRUE(symmetric_cipher_set_plain(&c, small));
    c.plain_len = INT32_MAX - 8;
    errno = 0;
    EXPECT_FALSE(encrypt_symmetric(&c));
    EXPECT_EQ(errno, EOVERFLOW);
    c.plain_len = 3;
}

// No stock cipher exceeds the record's buffers, so a custom one stands in.
TEST(RecordCipher, RefusesCiphersThatOverflowTheRecord) {
    std::string bytes(128, 'k');
    symmetric_cipher c;
    symmetric_cipher_init(&c);

    EVP_CIPHER *long_key = EVP_CIPHER_meth_new(NID_undef, 16, SYMMETRIC_CIPHER_KEY_SIZE + 16);
    ASSERT_NE(long_key, nullptr);
    EVP_CIPHER_meth_set_iv_length(long_key, 16);
    c.cipher = long_key;
    errno = 0;
    EXPECT_FALSE(symmetric_cipher_set_key(&c, bytes.data(), bytes.size()));
    EXPECT_EQ(errno, EINVAL);

    EVP_CIPHER *long_iv = EVP_CIPHER_meth_new(NID_undef, 16, 32);
    ASSERT_NE(long_iv, nullptr);
    EVP_CIPHER_meth_set_iv_length(long_iv, SYMMETRIC_CIPHER_IV_SIZE + 4);
    c.cipher = long_iv;
    EXPECT_FALSE(symmetric_cipher_set_iv(&c, bytes.data(), bytes.size()));
    ASSERT_TRUE(symmetric_cipher_set_plain(&c, "password"));
    errno = 0;
    EXPECT_FALSE(encrypt_symmetric(&c)) << "a random IV would overrun the record";
    EXPECT_EQ(errno, EINVAL);

    EXPECT_TRUE(symmetric_cipher_cleanup(&c));
    EXPECT_EQ(c.cipher, nullptr) << "the record is wiped";
    EXPECT_EQ(c.plain, nullptr);
    EXPECT_TRUE(symmetric_cipher_cleanup(nullptr));
    EVP_CIPHER_meth_free(long_key);
    EVP_CIPHER_meth_free(long_iv);
}

} // namespace
