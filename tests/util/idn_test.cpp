// Tests for IDN conversion of domain names and mail addresses.
#include "lib/util/idn.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace {

using velka::idn::emailToAscii;
using velka::idn::IdnaError;
using velka::idn::toAscii;
using velka::idn::toUtf8;

// The code of the IdnaError that f throws, or -1000 when it throws none.
template <typename F> int idnaCode(F f) {
    try {
        f();
    } catch (const IdnaError &e) {
        return e.code();
    }
    return -1000;
}

const std::string LABEL_64(64, 'a');

// Each case: a conversion, its input and the expected result.
struct Conversion {
    std::string (*convert)(const std::string &);
    std::string input;
    std::string expected;
};

void expectConversions(std::initializer_list<Conversion> conversions) {
    for (const Conversion &c : conversions)
        EXPECT_EQ(c.expected, c.convert(c.input)) << c.input;
}

TEST(IdnTest, ConvertsToAsciiAndBack) {
    expectConversions({{toAscii, "bücher.example", "xn--bcher-kva.example"},
                       {toAscii, "пример.рф", "xn--e1afmkfd.xn--p1ai"},
                       {toUtf8, "xn--bcher-kva.example", "bücher.example"},
                       {toUtf8, "xn--e1afmkfd.xn--p1ai", "пример.рф"}});
    EXPECT_EQ("пример.рф", toUtf8(toAscii("пример.рф")));
}

TEST(IdnTest, AsciiAndUnicodeInputPassThrough) {
    expectConversions({{toAscii, "", ""},
                       {toAscii, "under_score.de", "under_score.de"},
                       {toAscii, "xn--bcher-kva.example", "xn--bcher-kva.example"},
                       {toUtf8, "bücher.example", "bücher.example"},
                       {toUtf8, "plain.de", "plain.de"}});
}

TEST(IdnTest, CaseIsFoldedOnlyInConvertedLabels) {
    // ASCII labels keep their case; callers lower-case the result themselves.
    expectConversions({{toAscii, "Example.COM", "Example.COM"},
                       {toAscii, "BÜCHER.Example", "xn--bcher-kva.Example"}});
}

TEST(IdnTest, StopsAtEmbeddedNul) {
    const std::string name("bücher.example\0ignored", 23);
    EXPECT_EQ("xn--bcher-kva.example", toAscii(name));
}

TEST(IdnTest, RejectionsCarryLibidnCode) {
    EXPECT_EQ(5, idnaCode([] { toAscii(LABEL_64 + ".de"); }));
    EXPECT_EQ(5, idnaCode([] { toAscii("a..b"); }));
    EXPECT_EQ(9, idnaCode([] { toAscii("a\xff\xfe.de"); }));
    EXPECT_EQ(1, idnaCode([] { toAscii("\xef\xbf\xbe.de"); })); // U+FFFE is prohibited
    EXPECT_EQ(9, idnaCode([] { toUtf8("a\xff.de"); }));
}

TEST(IdnTest, IdnaErrorDescribesItsCode) {
    try {
        toAscii(LABEL_64);
        FAIL() << "no exception";
    } catch (const std::exception &e) {
        EXPECT_STREQ("Invalid length", e.what());
    }
    EXPECT_STREQ("Punycode error", IdnaError(2).what());
    EXPECT_STREQ("Unknown error", IdnaError(-7).what());
}

TEST(IdnTest, StrerrorCoversEveryCode) {
    const char *const texts[] = {"Success",
                                 "Stringprep error",
                                 "Punycode error",
                                 "Contains non-LDH characters",
                                 "Contains minus",
                                 "Invalid length",
                                 "ACE prefix not found",
                                 "Verify error",
                                 "ACE prefix found",
                                 "Iconv error"};
    for (int code = 0; code <= 9; ++code)
        EXPECT_STREQ(texts[code], idn_strerror(code)) << code;
    EXPECT_STREQ("Cannot allocate buffer", idn_strerror(201));
    for (int code : {-1, 10, 200, 202, 1000})
        EXPECT_STREQ("Unknown error", idn_strerror(code)) << code;
}

TEST(IdnTest, EmailConvertsOnlyTheDomain) {
    expectConversions({{emailToAscii, "", ""},
                       {emailToAscii, "bücher.example", "bücher.example"},
                       {emailToAscii, "@bücher.example", "@xn--bcher-kva.example"},
                       {emailToAscii, "jürgen@bücher.example", "jürgen@xn--bcher-kva.example"},
                       {emailToAscii, "Info@пример.рф", "Info@xn--e1afmkfd.xn--p1ai"},
                       {emailToAscii, "user@", "user@"}});
}

TEST(IdnTest, EmailDomainErrorsPropagate) {
    EXPECT_EQ(5, idnaCode([] { emailToAscii("user@" + LABEL_64 + ".de"); }));
    // The local part is never examined.
    EXPECT_EQ("\xff@example.com", emailToAscii("\xff@example.com"));
}

} // namespace
