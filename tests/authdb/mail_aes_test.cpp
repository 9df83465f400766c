// The mail password cipher, including interoperability with the openssl command.
#include "mail/dovecot/authdb/mail_aes.h"

#include "mail/dovecot/authdb/base64.h"
#include "tests/authdb/test_support.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

struct Freed {
    void operator()(void *p) const { free(p); }
};
using Text = std::unique_ptr<char, Freed>;

std::string str(const Text &t) {
    return t ? std::string(t.get()) : std::string("<none>");
}

std::string decodeBase64(const std::string &text) {
    size_t len = 0;
    std::unique_ptr<unsigned char, Freed> bytes(b64_decode(text.c_str(), &len));
    return std::string(reinterpret_cast<char *>(bytes.get()), len);
}

// Runs a shell command line built from fixed paths and hex strings only.
std::string runCommand(const std::string &command, int *status) {
    std::string output;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        *status = -1;
        return output;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
        output.append(buf, n);
    int rc = pclose(pipe);
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return output;
}

class MailAes : public ::testing::Test {
protected:
    void SetUp() override {
        unsigned char key[MAIL_AES_KEY_LENGTH];
        ASSERT_EQ(mail_aes_gen_key(key, sizeof key), 32u);
        keyHex = toHex(key, sizeof key);
        writeFile(keyPath, std::string(reinterpret_cast<char *>(key), sizeof key));
        ASSERT_TRUE(mail_aes_init(keyPath.c_str()));
    }
    void TearDown() override { EXPECT_TRUE(mail_aes_cleanup()); }

    ScratchDir dir;
    std::string keyPath = dir.file("passwd_db_key");
    std::string keyHex;
};

TEST_F(MailAes, SamePasswordEncryptsDifferentlyAndBothDecrypt) {
    Text first(mail_aes_encrypt("Pa55 word"));
    Text second(mail_aes_encrypt("Pa55 word"));
    ASSERT_TRUE(first && second);
    EXPECT_NE(str(first), str(second));
    for (const Text *t : {&first, &second}) {
        EXPECT_TRUE(is_encrypted_with_mail_aes(t->get()));
        EXPECT_EQ(str(Text(mail_aes_decrypt(t->get()))), "Pa55 word");
    }
}

TEST_F(MailAes, CipherTextLengthFollowsPkcsPadding) {
    for (const std::string &password : {std::string(16, 'x'), std::string()}) {
        Text stored(mail_aes_encrypt(password.c_str()));
        ASSERT_TRUE(stored);
        std::string text = str(stored);
        size_t iv_end = text.rfind('$');
        EXPECT_EQ(decodeBase64(text.substr(18, iv_end - 18)).size(), 16u);
        EXPECT_EQ(decodeBase64(text.substr(iv_end + 1)).size(), password.size() + 16);
        EXPECT_EQ(str(Text(mail_aes_decrypt(stored.get()))), password);
    }
}

TEST_F(MailAes, UnprefixedTextFailsWithoutTouchingTheRegistry) {
    for (const char *text : {"plain password", "$AES-256-CBC:PKCS", "$AES-256-CBC$AAAA$AAAA",
                             static_cast<const char *>(nullptr)}) {
        errno = 0;
        EXPECT_FALSE(Text(mail_aes_decrypt(text)));
        EXPECT_EQ(errno, EINVAL);
        EXPECT_FALSE(is_encrypted_with_mail_aes(text));
    }
    // TearDown's cleanup still finds exactly the one reference SetUp took.
}

TEST(MailAesKey, GeneratesWholeRandomKeys) {
    unsigned char a[40] = {};
    unsigned char b[32] = {};
    errno = 0;
    EXPECT_EQ(mail_aes_gen_key(a, 31), 0u);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(mail_aes_gen_key(a, sizeof a), 32u);
    EXPECT_EQ(a[32], 0) << "only the key length is written";
    EXPECT_EQ(mail_aes_gen_key(b, sizeof b), 32u);
    EXPECT_NE(toHex(a, 32), toHex(b, 32));
}

const std::string PASSWORDS[] = {"",
                                 "a",
                                 "fifteen chars..",
                                 "sixteen chars...",
                                 "seventeen chars..",
                                 "Ünïcödé pässwörd with $ and : inside"};

TEST_F(MailAes, OpensslCommandDecryptsOurTexts) {
    for (const std::string &password : PASSWORDS) {
        Text stored(mail_aes_encrypt(password.c_str()));
        ASSERT_TRUE(stored);
        std::string text = str(stored);
        size_t iv_end = text.rfind('$');
        std::string iv = decodeBase64(text.substr(18, iv_end - 18));
        writeFile(dir.file("ct"), decodeBase64(text.substr(iv_end + 1)));

        int status = 0;
        std::string out = runCommand("openssl enc -d -aes-256-cbc -K " + keyHex + " -iv " +
                                         toHex(iv.data(), iv.size()) + " -in " + dir.file("ct"),
                                     &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(out, password);
    }
}

TEST_F(MailAes, WeDecryptOpensslCommandOutput) {
    for (const std::string &password : PASSWORDS) {
        unsigned char random[32];
        ASSERT_EQ(mail_aes_gen_key(random, sizeof random), 32u);
        std::string iv_hex = toHex(random, 16);
        writeFile(dir.file("pt"), password);
        int status = 0;
        runCommand("openssl enc -aes-256-cbc -K " + keyHex + " -iv " + iv_hex + " -in " +
                       dir.file("pt") + " -out " + dir.file("ct"),
                   &status);
        ASSERT_EQ(status, 0);
        std::string ct = readFile(dir.file("ct"));
        std::string iv_bytes = fromHex(iv_hex);
        Text iv_b64(b64_encode(iv_bytes.data(), iv_bytes.size()));
        Text ct_b64(b64_encode(ct.data(), ct.size()));
        std::string stored = std::string(MAIL_AES_PREFIX) + iv_b64.get() + "$" + ct_b64.get();
        EXPECT_EQ(str(Text(mail_aes_decrypt(stored.c_str()))), password);
    }
}

} // namespace
