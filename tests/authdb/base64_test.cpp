// Base64 coding against RFC 4648's vectors and its decoding rules.
#include "mail/dovecot/authdb/base64.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace {

const std::pair<std::string, std::string> RFC4648_VECTORS[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

std::string decodeText(const char *text) {
    size_t len = 0;
    unsigned char *bytes = b64_decode(text, &len);
    std::string out(reinterpret_cast<char *>(bytes), len);
    EXPECT_EQ(bytes[len], 0) << "decoded buffer is zero-terminated";
    free(bytes);
    return out;
}

TEST(Base64, Rfc4648VectorsBothWays) {
    for (const auto &[plain, encoded] : RFC4648_VECTORS) {
        char out[16];
        EXPECT_EQ(base64Encode(plain.data(), plain.size(), out), encoded.size());
        EXPECT_STREQ(out, encoded.c_str());

        char *text = b64_encode_cstr(plain.c_str());
        EXPECT_STREQ(text, encoded.c_str());
        free(text);

        EXPECT_EQ(decodeText(encoded.c_str()), plain);
        unsigned char raw[16];
        ASSERT_EQ(base64Decode(encoded.c_str(), raw), plain.size());
        EXPECT_EQ(std::string(reinterpret_cast<char *>(raw), plain.size()), plain);
    }
}

TEST(Base64, EveryByteValueRoundTrips) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(255 - i));
    for (size_t len = 0; len <= all.size(); len += 37) {
        char *text = b64_encode(all.data(), len);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(strlen(text), 4 * ((len + 2) / 3));
        EXPECT_EQ(decodeText(text), all.substr(0, len));
        free(text);
    }
}

TEST(Base64, DecodesCompleteGroupsOnly) {
    EXPECT_EQ(decodeText("Zm9vY"), "foo");
    EXPECT_EQ(decodeText("Zm9vYg=="), "foob");
    EXPECT_EQ(decodeText("Zm9vYg==Z"), "foob");
    EXPECT_EQ(decodeText("Zg"), "");
    unsigned char raw[8] = {};
    EXPECT_EQ(base64ArrayDecode("Zm9vYmFy", 4, raw), 3u) << "only len characters are read";
    EXPECT_EQ(raw[3], 0);

    char *text = b64_decode_cstr("Zm9vAGJhcg==");
    EXPECT_STREQ(text, "foo") << "a text ends at the first decoded zero byte";
    free(text);
}

TEST(Base64, RefusesMissingInput) {
    errno = 0;
    EXPECT_EQ(b64_decode(nullptr, nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(b64_encode(nullptr, 1), nullptr);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(b64_encode(RFC4648_VECTORS, static_cast<size_t>(-1)), nullptr);
    EXPECT_EQ(errno, EOVERFLOW);

    char *empty = b64_encode(nullptr, 0);
    EXPECT_STREQ(empty, "");
    free(empty);
}

} // namespace
