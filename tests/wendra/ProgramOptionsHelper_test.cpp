// Tests of the per-command option helper: parse style, help, mandatory options, the
// usage text and the reporting of option errors.
#include "wendra/ProgramOptionsHelper.h"

#include "tests/support/test_common.h"
#include "tests/wendra/test_argv.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

using namespace velka::mail::wendra_commands;
namespace po = boost::program_options;
using velka_test::runInChild;
using wendra_test::commandArgv;

namespace {

// A command "--cmd" with a mandatory --first, an optional --value and a mandatory
// --second, in that order.
void declare(ProgramOptionsHelper &helper) {
    helper.addOptions()("first", po::value<std::string>(), "first option", true)(
        "value,v", po::value<int>(), "some value")("second", "second flag", true);
}

const std::string USAGE = "test the helper\n"
                          "Usage: --cmd [--first=<x>]\n\t[--second]\n"
                          "Allowed options to test the helper:\n"
                          "  --first arg           first option (mandatory)\n"
                          "  -v [ --value ] arg    some value\n"
                          "  --second              second flag (mandatory)\n"
                          "  -h [ --help ]         displays this help message\n"
                          "\n";

// Parses args after the command word "--cmd" through standardOptionsParse.
void standardParse(std::vector<std::string> args) {
    std::vector<char *> argv = commandArgv(args);
    ProgramOptionsHelper helper("test the helper", "--cmd [--first=<x>]\n\t[--second]");
    declare(helper);
    standardOptionsParse(helper, static_cast<int>(args.size()), argv.data());
}

// standardParse() in a child, which exits 42 when the parse returns.
velka_test::ChildResult parseInChild(const std::vector<std::string> &args) {
    return runInChild([&] {
        standardParse(args);
        return 42;
    });
}

// Parses in this process; returns the helper's variables or throws.
po::variables_map parse(std::vector<std::string> args) {
    std::vector<char *> argv = commandArgv(args);
    ProgramOptionsHelper helper("test the helper", "--cmd");
    declare(helper);
    helper.parse(static_cast<int>(args.size()), argv.data());
    return helper.variables();
}

std::string errorOf(const std::vector<std::string> &args) {
    try {
        parse(args);
    } catch (const po::error &e) {
        return e.what();
    }
    return "";
}

TEST(ProgramOptionsHelper, HelpPrintsTheUsageAndExitsZero) {
    for (const char *help : {"--help", "-h"}) {
        auto r = parseInChild({help});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, USAGE);
        EXPECT_EQ(r.err, "");
    }
}

TEST(ProgramOptionsHelper, MalformedValueBeatsHelp) {
    auto r = parseInChild({"--help", "--value=x"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "the argument ('x') for option '--value' is invalid\n");
    EXPECT_EQ(r.out, r.err + USAGE);
}

TEST(ProgramOptionsHelper, MissingMandatoryNamesTheLastDeclared) {
    auto r = parseInChild({});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "mandatory option \"--second\" is not specified\n");
    EXPECT_EQ(r.out, r.err + USAGE);

    EXPECT_EQ(errorOf({"--second"}), "mandatory option \"--first\" is not specified");
    try {
        parse({"--second"});
        FAIL();
    } catch (const MissingMandatoryOption &) {
    }
}

TEST(ProgramOptionsHelper, AcceptedForms) {
    po::variables_map v = parse({"--first", "a b", "stray", "--second", "-v", "3", "/x"});
    EXPECT_EQ(v["first"].as<std::string>(), "a b");
    EXPECT_EQ(v["value"].as<int>(), 3);
    EXPECT_EQ(v.count("second"), 1u);
    v = parse({"--first=x", "--second", "-v4"});
    EXPECT_EQ(v["value"].as<int>(), 4);
    EXPECT_EQ(parseInChild({"--first=x", "--second"}).exitCode, 42);
}

TEST(ProgramOptionsHelper, OptionErrors) {
    EXPECT_EQ(errorOf({"--fir=x", "--second"}), "unrecognised option '--fir=x'");
    EXPECT_EQ(errorOf({"--FIRST=x", "--second"}), "unrecognised option '--FIRST=x'");
    EXPECT_EQ(errorOf({"--first=x", "--first=y", "--second"}),
              "option '--first' cannot be specified more than once");
    EXPECT_EQ(errorOf({"--second", "--second", "--first=x"}),
              "option '--second' cannot be specified more than once");
    EXPECT_EQ(errorOf({"--second", "--first"}), "the required argument for option '--first' is "
                                                "missing");
    EXPECT_EQ(errorOf({"--second", "--first="}),
              "the argument for option '--first' should follow immediately after the equal sign");
    EXPECT_EQ(errorOf({"--second=1", "--first=x"}),
              "option '--second' does not take any arguments");
}

// An argument holding one of the library's message placeholders once made the message
// formatting loop for ever; the message now shows the argument as given.
TEST(ProgramOptionsHelper, PlaceholdersInArgumentsAreShownAsGiven) {
    for (const std::string arg : {"--x%original_token%", "--x%canonical_option%%prefix%"}) {
        velka_test::ChildResult r = runInChild([&] {
            alarm(10);
            standardParse({arg, "--first=x", "--second"});
            return 42;
        });
        EXPECT_EQ(r.exitCode, 1) << arg;
        EXPECT_EQ(r.err, "unrecognised option '" + arg + "'\n");
    }
}

struct UsageExit {
    int status;
};

// The seam an in-process caller uses instead of exit(): help and option errors arrive
// as its exception, with the status the program would have exited with.
TEST(ProgramOptionsHelper, UsageExitSeamReplacesExit) {
    std::ostringstream sink;
    std::streambuf *out = std::cout.rdbuf(sink.rdbuf());
    std::streambuf *err = std::cerr.rdbuf(sink.rdbuf());
    UsageExitFunction previous = setUsageExit([](int status) { throw UsageExit{status}; });
    auto statusOf = [](const std::vector<std::string> &args) {
        try {
            standardParse(args);
        } catch (const UsageExit &exit) {
            return exit.status;
        }
        return 42;
    };
    EXPECT_EQ(statusOf({"--help"}), 0);
    EXPECT_EQ(statusOf({"--bogus"}), 1);
    EXPECT_EQ(statusOf({"--first=x", "--second"}), 42);
    setUsageExit(previous);
    std::cout.rdbuf(out);
    std::cerr.rdbuf(err);
    EXPECT_NE(sink.str().find("unrecognised option '--bogus'"), std::string::npos);
}

} // namespace
