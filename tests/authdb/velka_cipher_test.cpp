// The named cipher registry: key files, reference counts and the stored format.
#include "mail/dovecot/authdb/velka_cipher.h"

#include "mail/dovecot/authdb/base64.h"
#include "tests/authdb/test_support.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

const char PKCS[] = "AES-256-CBC:PKCS";
const std::string KEY = "0123456789abcdef0123456789abcdef";

struct Freed {
    void operator()(char *p) const { free(p); }
};
using Text = std::unique_ptr<char, Freed>;

std::string str(const Text &t) {
    return t ? std::string(t.get()) : std::string("<none>");
}

// The stored text of plain, which may hold any byte, under KEY and a zero IV.
std::string storedOf(const std::string &plain) {
    const unsigned char iv[16] = {};
    unsigned char out[64];
    int len = 0, last = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr,
                       reinterpret_cast<const unsigned char *>(KEY.data()), iv);
    EVP_EncryptUpdate(ctx, out, &len, reinterpret_cast<const unsigned char *>(plain.data()),
                      static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, out + len, &last);
    EVP_CIPHER_CTX_free(ctx);
    Text data(b64_encode(out, static_cast<size_t>(len + last)));
    return "$AES-256-CBC:PKCS$AAAAAAAAAAAAAAAAAAAAAA==$" + str(data);
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override { writeFile(keyPath, KEY); }

    ScratchDir dir;
    std::string keyPath = dir.file("key");
    LogCapture log;
};

TEST_F(Registry, ReferenceCountKeepsTheCipherUntilTheLastCleanup) {
    ASSERT_TRUE(velka_cipher_init(PKCS, keyPath.c_str()));
    ASSERT_TRUE(velka_cipher_init(PKCS, "/nonexistent/key")) << "a second reference reads no key";
    EXPECT_FALSE(velka_cipher_cleanup(PKCS));

    Text stored(velka_cipher_encrypt(PKCS, "secret"));
    ASSERT_TRUE(stored);
    EXPECT_EQ(str(Text(velka_cipher_decrypt(stored.get()))), "secret");

    EXPECT_TRUE(velka_cipher_cleanup(PKCS));
    errno = 0;
    EXPECT_FALSE(Text(velka_cipher_decrypt(stored.get())));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(log.lines().empty());

    EXPECT_TRUE(velka_cipher_cleanup(PKCS));
    EXPECT_TRUE(log.contains(
        6,
        "Failed to correctly destroy encryption cipher 'AES-256-CBC:PKCS'. A programming error?"));
}

TEST_F(Registry, KeyFileMustHoldAWholeKey) {
    writeFile(keyPath, KEY.substr(0, 31));
    EXPECT_FALSE(velka_cipher_init(PKCS, keyPath.c_str()));
    EXPECT_TRUE(log.contains(3, "Failed to read entire encryption key from '" + keyPath +
                                    "': No data available (61)"));
    EXPECT_TRUE(log.contains(
        3, "Failed to initialize encryption cipher 'AES-256-CBC:PKCS' with key '" + keyPath + "'"));

    EXPECT_FALSE(velka_cipher_init(PKCS, dir.file("missing").c_str()));
    EXPECT_TRUE(log.contains(3, "Can't read encryption key from '" + dir.file("missing") +
                                    "': No such file or directory (2)"));

    log.lines().clear();
    EXPECT_TRUE(velka_cipher_cleanup(PKCS));
    EXPECT_EQ(log.lines().size(), 1u) << "failed initialisations leave no entry behind";
}

TEST_F(Registry, LongerKeyFileUsesItsFirstBytes) {
    std::string long_key = dir.file("long");
    writeFile(long_key, KEY + "extra bytes!");
    ASSERT_TRUE(velka_cipher_init(PKCS, long_key.c_str()));
    ASSERT_TRUE(velka_cipher_init("aes-256-cbc:PKCS", keyPath.c_str()));

    // The same IV under both names: equal data proves equal keys.
    const std::string iv = "AAECAwQFBgcICQoLDA0ODw==";
    Text a(velka_cipher_crypt("secret", ("$AES-256-CBC:PKCS$" + iv + "$").c_str()));
    Text b(velka_cipher_crypt("secret", ("$aes-256-cbc:PKCS$" + iv + "$").c_str()));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(str(a), "$AES-256-CBC:PKCS$" + iv + "$" + str(b).substr(str(b).rfind('$') + 1));
    EXPECT_EQ(str(Text(velka_cipher_decrypt(a.get()))), "secret");

    EXPECT_TRUE(velka_cipher_cleanup(PKCS));
    EXPECT_TRUE(velka_cipher_cleanup("aes-256-cbc:PKCS"));
}

TEST_F(Registry, RefusesUnusableNames) {
    for (const char *name :
         {"NO-SUCH-CIPHER", "AES-256-CBC:PKCS:0123456789abcdef", "AES-256-CBC:$PKCS"}) {
        EXPECT_FALSE(velka_cipher_init(name, keyPath.c_str()));
        EXPECT_TRUE(log.contains(3, std::string("Unknown encryption cipher: '") + name + "'"))
            << name;
    }
}

TEST_F(Registry, GivenIvMakesEncryptionRepeatable) {
    ASSERT_TRUE(velka_cipher_init(PKCS, keyPath.c_str()));
    const std::string spec = "$AES-256-CBC:PKCS$AAECAwQFBgcICQoLDA0ODw==$";
    Text first(velka_cipher_crypt("secret", spec.c_str()));
    Text second(velka_cipher_crypt("secret", spec.c_str()));
    ASSERT_TRUE(first);
    EXPECT_EQ(str(first), str(second));
    EXPECT_EQ(str(first).rfind(spec, 0), 0u);

    Text fresh(velka_cipher_crypt("secret", "$AES-256-CBC:PKCS"));
    ASSERT_TRUE(fresh);
    EXPECT_NE(str(fresh).rfind(spec, 0), 0u) << "without an IV a random one is drawn";
    EXPECT_EQ(str(Text(velka_cipher_decrypt(fresh.get()))), "secret");

    errno = 0;
    EXPECT_FALSE(Text(velka_cipher_crypt("secret", "$AES-256-CBC:PKCS$AAEC$"))) << "IV too short";
    EXPECT_FALSE(Text(velka_cipher_crypt("secret", "AES-256-CBC:PKCS")));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(velka_cipher_cleanup(PKCS));
}

TEST_F(Registry, ZeroFillCipherWithoutPkcs) {
    ASSERT_TRUE(velka_cipher_init("AES-256-CBC", keyPath.c_str()));
    Text stored(velka_cipher_encrypt("AES-256-CBC", "0123456789abcdef"));
    ASSERT_TRUE(stored);
    std::string text = str(stored);
    ASSERT_EQ(text.rfind("$AES-256-CBC$", 0), 0u);
    size_t len = 0;
    free(b64_decode(text.substr(text.rfind('$') + 1).c_str(), &len));
    EXPECT_EQ(len, 16u) << "no padding block after a whole block";
    EXPECT_EQ(str(Text(velka_cipher_decrypt(stored.get()))), "0123456789abcdef");

    Text empty(velka_cipher_encrypt("AES-256-CBC", ""));
    EXPECT_EQ(str(Text(velka_cipher_decrypt(empty.get()))), "");
    EXPECT_TRUE(velka_cipher_cleanup("AES-256-CBC"));
}

TEST_F(Registry, DecryptRefusesDamagedTexts) {
    ASSERT_TRUE(velka_cipher_init(PKCS, keyPath.c_str()));
    Text stored(velka_cipher_crypt("secret", "$AES-256-CBC:PKCS$AAECAwQFBgcICQoLDA0ODw==$"));
    ASSERT_TRUE(stored);
    const std::string good = str(stored);
    const std::string data = good.substr(good.rfind('$') + 1);

    const std::pair<std::string, int> damaged[] = {
        {"AES-256-CBC:PKCS$" + data, EINVAL},
        {"$AES-256-CBC:PKCS", EINVAL},
        {"$AES-256-CBC:PKCS$$" + data, EINVAL},
        {"$AES-256-CBC:PKCS$AAEC$" + data, EINVAL},
        {"$AES-128-CBC:PKCS$AAECAwQFBgcICQoLDA0ODw==$" + data, ENOENT},
    };
    for (const auto &[text, err] : damaged) {
        errno = 0;
        EXPECT_FALSE(Text(velka_cipher_decrypt(text.c_str()))) << text;
        EXPECT_EQ(errno, err) << text;
    }
    EXPECT_FALSE(Text(velka_cipher_decrypt(good.substr(0, good.size() - 4).c_str())))
        << "truncated";
    // A zero byte inside would cut the text: "ab" alone would be the password.
    errno = 0;
    EXPECT_FALSE(Text(velka_cipher_decrypt(storedOf(std::string("ab\0c", 4)).c_str())));
    EXPECT_EQ(errno, EILSEQ);

    // The same text under another key fails on its padding.
    EXPECT_TRUE(velka_cipher_cleanup(PKCS));
    writeFile(keyPath, std::string(32, 'x'));
    ASSERT_TRUE(velka_cipher_init(PKCS, keyPath.c_str()));
    EXPECT_FALSE(Text(velka_cipher_decrypt(good.c_str())));
    EXPECT_TRUE(velka_cipher_cleanup(PKCS));
}

} // namespace
