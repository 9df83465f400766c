// Tests of the option value types: limits and certificate name lists.
#include "wendra/option_values.h"

#include "lib/util/idn.h"
#include "tests/wendra/test_argv.h"
#include "wendra/ProgramOptionsHelper.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace velka::mail::wendra_commands;
namespace po = boost::program_options;

namespace {

// Parses --OPTION values of type T given as separate words after the command word.
template <typename T> po::variables_map parse(const char *option, std::vector<std::string> args) {
    std::vector<char *> argv = wendra_test::commandArgv(args);
    ProgramOptionsHelper helper("test", "--cmd");
    helper.addOptions()(option, po::value<T>(), "the option");
    helper.parse(static_cast<int>(args.size()), argv.data());
    return helper.variables();
}

std::uint32_t limit(const std::string &text) {
    return parse<PositiveMailServerLimit>("limit", {"--limit=" + text})["limit"]
        .as<PositiveMailServerLimit>()
        .limit;
}

std::string names(const std::string &text) {
    return parse<CertNamesListTOpt>("names", {"--names=" + text})["names"]
        .as<CertNamesListTOpt>()
        .names;
}

TEST(PositiveMailServerLimit, WholeDecimalNumbersOf32Bits) {
    EXPECT_EQ(limit("0"), 0u);
    EXPECT_EQ(limit("4294967295"), 4294967295u);
    EXPECT_EQ(limit("007"), 7u);
    EXPECT_EQ(parse<PositiveMailServerLimit>("limit", {"--limit", "12"})["limit"]
                  .as<PositiveMailServerLimit>()
                  .limit,
              12u);
    for (const char *bad : {"4294967296", "99999999999999999999", "-1", "+5", "5x", " 5", "5 ",
                            "0x10", "1e3", "\xd9\xa3"}) {
        try {
            limit(bad);
            ADD_FAILURE() << bad;
        } catch (const po::error &e) {
            EXPECT_EQ(e.what(), "The argument for option '--limit' is incorrect: expected "
                                "positive integer value, got '" +
                                    std::string(bad) + "'");
        }
    }
    EXPECT_THROW(parse<PositiveMailServerLimit>("limit", {"--limit=1", "--limit=1"}),
                 po::multiple_occurrences);
}

TEST(CertNamesListTOpt, NormalisedAndChecked) {
    EXPECT_EQ(names("Example.COM,,test.org"), "example.com,,test.org");
    EXPECT_EQ(names(",a.com,"), ",a.com,");
    EXPECT_EQ(names("B\xc3\xbc\x63her.DE,mail.example.com"), "xn--bcher-kva.de,mail.example.com");
    // Converted name by name: a comma must not end up inside a converted label.
    EXPECT_EQ(names("a.com,b\xc3\xbc\x63her.de"), "a.com,xn--bcher-kva.de");
    EXPECT_EQ(names("\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbc\xd0\xb5\xd1\x80.\xd1\x80\xd1\x84"),
              "xn--e1afmkfd.xn--p1ai");

    try {
        names("good.com,bad_name.com,-worse.com");
        FAIL();
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "bad_name.com - name has incorrect format.");
    }
    EXPECT_THROW(names("a.com b.com"), po::invalid_option_value);
    EXPECT_THROW(names(" a.com"), po::invalid_option_value);
    EXPECT_THROW(names("\xc3\xbc" + std::string(70, 'a') + ".com"), velka::idn::IdnaError);
}

} // namespace
