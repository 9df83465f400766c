// Tests for shell quoting, the byte class table and the C string helpers.
#include "lib/util/shell_quote.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

struct FreeDeleter {
    void operator()(char *p) const { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

const std::string BACKSLASHED = std::string("\t \"#$&'()*;<>?[\\`|~");

TEST(ShellClassTableTest, HasTheExpectedMarks) {
    int stars = 0, quotes = 0, safe = 0;
    for (int b = 0; b < 256; ++b) {
        char mark = shell_escape_chars[b];
        bool wantStar = BACKSLASHED.find(static_cast<char>(b)) != std::string::npos;
        if (mark == '*') {
            ++stars;
            EXPECT_TRUE(wantStar) << "byte " << b;
        } else if (mark == 'n') {
            ++quotes;
            EXPECT_EQ('\n', b);
        } else if (mark == '-') {
            ++safe;
            EXPECT_FALSE(wantStar) << "byte " << b;
        } else {
            ADD_FAILURE() << "byte " << b << " has mark " << mark;
        }
    }
    EXPECT_EQ(19, stars);
    EXPECT_EQ(1, quotes);
    EXPECT_EQ(236, safe);
}

TEST(ShQuoteTest, EscapesOnlyMarkedBytes) {
    EXPECT_EQ("", velka::sh_quote(""));
    EXPECT_EQ("a\\ b", velka::sh_quote("a b"));
    EXPECT_EQ("a'\n'b", velka::sh_quote("a\nb"));
    EXPECT_EQ("!%={}", velka::sh_quote("!%={}"));
    EXPECT_EQ("\\~/\\#x\\\tx", velka::sh_quote("~/#x\tx"));
    EXPECT_EQ("it\\'s\\ \\$HOME\\;\\ \\`id\\`", velka::sh_quote("it's $HOME; `id`"));
    EXPECT_EQ("bücher", velka::sh_quote("bücher"));
    EXPECT_EQ(std::string("a\0b", 3), velka::sh_quote(std::string("a\0b", 3)));
}

TEST(ShQuoteTest, StrongQuoteWrapsAndEscapesSingleQuotes) {
    EXPECT_EQ("''", velka::sh_strong_quote(""));
    EXPECT_EQ("'a b;$x'", velka::sh_strong_quote("a b;$x"));
    EXPECT_EQ("'it'\\''s'", velka::sh_strong_quote("it's"));
    EXPECT_EQ("''\\'''\\'''", velka::sh_strong_quote("''"));
}

TEST(CheckShellArgTest, NothrowAcceptsOnlySafeText) {
    EXPECT_EQ(1, check_shell_arg_nothrow(nullptr));
    EXPECT_EQ(1, check_shell_arg_nothrow(""));
    EXPECT_EQ(1, check_shell_arg_nothrow("Az09,-./:=@_"));
    EXPECT_EQ(1, check_shell_arg_nothrow("bücher!%+{}"));
    for (const char *bad : {"a b", "a\tb", "a\nb", "a;b", "~", "#", "x*"})
        EXPECT_EQ(0, check_shell_arg_nothrow(bad)) << bad;
}

TEST(CheckShellArgTest, ThrowsForUnsafeText) {
    EXPECT_NO_THROW(velka::check_shell_arg(""));
    EXPECT_NO_THROW(velka::check_shell_arg("/usr/bin/doveconf"));
    try {
        velka::check_shell_arg("a b");
        FAIL() << "no exception";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ("Internal error: bad escape_chars value", e.what());
    }
    // Bytes after an embedded NUL would still reach a command line built from the string.
    EXPECT_THROW(velka::check_shell_arg(std::string("ok\0; rm -rf /", 13)), std::runtime_error);
}

TEST(EscapeCharsTest, BackslashesSpecials) {
    EXPECT_EQ(nullptr, escape_chars(nullptr, "a"));
    EXPECT_EQ(nullptr, escape_chars("a", nullptr));
    CString empty(escape_chars("\"", ""));
    ASSERT_NE(nullptr, empty);
    EXPECT_STREQ("", empty.get());
    CString none(escape_chars("", "a\"b"));
    EXPECT_STREQ("a\"b", none.get());
    CString all(escape_chars("\"\\", "\"\\\"\\"));
    EXPECT_STREQ("\\\"\\\\\\\"\\\\", all.get());
    CString mixed(escape_chars("$\"", "pa$$\"word"));
    EXPECT_STREQ("pa\\$\\$\\\"word", mixed.get());
}

TEST(StrToLowerTest, LowersAsciiLettersOnly) {
    strtolower(nullptr);
    char text[] = "MiXeD-ÄÖ 09@Z";
    strtolower(text);
    EXPECT_STREQ("mixed-ÄÖ 09@z", text);
}

TEST(StrToLowerTest, DynamicLeavesTheOriginal) {
    EXPECT_EQ(nullptr, strtolower_dynamic(nullptr));
    const char original[] = "User@Example.COM";
    CString copy(strtolower_dynamic(original));
    ASSERT_NE(nullptr, copy);
    EXPECT_STREQ("user@example.com", copy.get());
    EXPECT_STREQ("User@Example.COM", original);
}

} // namespace
