// Tests of the session mail data's value rules: mail names and addresses at their
// limits, quotas, size units and the conversion to bytes.
#include "maildata/mail_db_data.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool mailname(const std::string &text) {
    return is_mailname_valid(text.c_str()) != 0;
}

TEST(MailnameRule, LengthLimits) {
    EXPECT_TRUE(mailname(std::string(245, 'a')));
    EXPECT_FALSE(mailname(std::string(246, 'a')));
    EXPECT_FALSE(mailname(std::string(1000, 'a')));
    EXPECT_TRUE(mailname("a"));
    EXPECT_FALSE(mailname(""));
    EXPECT_FALSE(is_mailname_valid(nullptr));
}

TEST(MailnameRule, CharactersAndDots) {
    for (const char *name : {"a.b", "o'neil+tag&x_y-z", "A-Z.09", "-", "_x", "a.b.c"})
        EXPECT_TRUE(mailname(name)) << name;
    for (const char *name : {".ab", "ab.", "a..b", ".", "a b", "a@b", "a/b", "a\"b", "a\tb",
                             "caf\xc3\xa9", "a,b", "a;b"})
        EXPECT_FALSE(mailname(name)) << name;
}

TEST(FullMailnameRule, SplitsAtTheFirstAt) {
    EXPECT_TRUE(is_full_mailname_valid("john.doe@example.com"));
    EXPECT_TRUE(is_full_mailname_valid("o'neil@localhost"));
    EXPECT_FALSE(is_full_mailname_valid("john"));
    EXPECT_FALSE(is_full_mailname_valid("@example.com"));
    EXPECT_FALSE(is_full_mailname_valid("john@"));
    EXPECT_FALSE(is_full_mailname_valid("a@b@c.com"));
    EXPECT_FALSE(is_full_mailname_valid("a..b@c.com"));
    EXPECT_FALSE(is_full_mailname_valid("ab.@c.com"));
    EXPECT_FALSE(is_full_mailname_valid("ab@c_d.com"));
    EXPECT_FALSE(is_full_mailname_valid(nullptr));

    const std::string domain = "example.com";
    EXPECT_TRUE(is_full_mailname_valid((std::string(245, 'x') + "@" + domain).c_str()));
    EXPECT_FALSE(is_full_mailname_valid((std::string(246, 'x') + "@" + domain).c_str()));
}

TEST(QuotaRule, MinusOneOrMore) {
    EXPECT_TRUE(is_mbox_quota_valid(-1));
    EXPECT_TRUE(is_mbox_quota_valid(0));
    EXPECT_TRUE(is_mbox_quota_valid(INT64_MAX));
    EXPECT_FALSE(is_mbox_quota_valid(-2));
    EXPECT_FALSE(is_mbox_quota_valid(INT64_MIN));
}

TEST(SizeUnits, ExactNamesOnly) {
    EXPECT_EQ(get_size_unit("B"), 1u);
    EXPECT_EQ(get_size_unit("KB"), 1024u);
    EXPECT_EQ(get_size_unit("MB"), 1048576u);
    EXPECT_EQ(get_size_unit("GB"), 1073741824u);
    EXPECT_EQ(get_size_unit("TB"), 1099511627776u);
    for (const char *name : {"kb", "Kb", "K", "KB ", "", "PB", "b"}) {
        EXPECT_EQ(get_size_unit(name), 0u) << name;
        EXPECT_FALSE(is_valid_size_unit(name)) << name;
    }
    EXPECT_EQ(get_size_unit(nullptr), 0u);
    EXPECT_TRUE(is_valid_size_unit("TB"));
}

TEST(SizeUnits, ValueInBytes) {
    EXPECT_EQ(get_value_in_bytes(5, "KB"), 5120);
    EXPECT_EQ(get_value_in_bytes(3, "TB"), 3 * 1099511627776LL);
    EXPECT_EQ(get_value_in_bytes(-1, "MB"), -1048576);
    EXPECT_EQ(get_value_in_bytes(7, "XB"), 0);
    // 2^23 TB is 2^63 bytes: one past the largest signed value, so it wraps.
    EXPECT_EQ(get_value_in_bytes(8388608, "TB"), INT64_MIN);

    EXPECT_TRUE(is_value_in_bytes_representable(8388607, "TB"));
    EXPECT_FALSE(is_value_in_bytes_representable(8388608, "TB"));
    EXPECT_TRUE(is_value_in_bytes_representable(INT64_MAX, "B"));
    EXPECT_FALSE(is_value_in_bytes_representable(INT64_MAX / 1024 + 1, "KB"));
    EXPECT_FALSE(is_value_in_bytes_representable(1, "kb"));
}

} // namespace
