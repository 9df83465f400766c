// Tests for the domain-name rule.
#include "maildata/domain_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool valid(const std::string &name) {
    return is_domain_name_valid(name.c_str()) != 0;
}

TEST(DomainNameTest, AcceptsOrdinaryNames) {
    for (const char *name : {"localhost", "xn--p1ai", "Mail.Example-1.COM", "a.b", "1.2.3.4"})
        EXPECT_TRUE(valid(name)) << name;
}

TEST(DomainNameTest, RefusesMalformedNames) {
    EXPECT_FALSE(is_domain_name_valid(nullptr));
    for (const char *name : {"", ".", "-a.com", "a-.com", "a..com", ".a.com", "a.com.", "a.com-",
                             "a_b.com", "a b.com", "a/b", "*.a.com", "a\n.com", "bücher.de"})
        EXPECT_FALSE(valid(name)) << name;
}

TEST(DomainNameTest, LengthLimits) {
    const std::string label63(63, 'a');
    EXPECT_TRUE(valid(label63 + ".com"));
    EXPECT_FALSE(valid(label63 + "a.com"));

    // Four labels of 63 bytes and three dots give 255 bytes.
    const std::string name255 = label63 + "." + label63 + "." + label63 + "." + label63;
    ASSERT_EQ(255u, name255.size());
    EXPECT_TRUE(valid(name255));
    const std::string name256 = std::string(62, 'a') + ".b" + name255.substr(63);
    ASSERT_EQ(256u, name256.size());
    EXPECT_FALSE(valid(name256));
}

} // namespace
