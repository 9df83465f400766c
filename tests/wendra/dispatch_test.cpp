// wendra's dispatcher: exact command-word lookup, missing and unknown commands, and
// the exit statuses and messages of escaping exceptions.
#include "wendra/wendra_commands.h"

#include "lib/errors/VelkaUtilException.h"
#include "tests/support/test_common.h"
#include "tests/wendra/test_argv.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace velka::mail::wendra_commands;
using velka_test::runInChild;

namespace {

const std::string SHORT_USAGE =
    "Usage: wendra <COMMAND> <COMMAND OPTIONS...>\n"
    "\t for a complete list of commands use ``wendra --help-commands''\n"
    "\t for help on syntax for a particular command use ``wendra <COMMAND> --help''\n"
    "\t for legacy complete help use ``wendra --help-legacy''\n";

velka_test::ChildResult runDoMain(std::vector<std::string> args) {
    return runInChild([&] {
        std::vector<char *> argv = wendra_test::argvOf(args);
        return do_main(static_cast<int>(args.size()), argv.data());
    });
}

} // namespace

TEST(FindCommand, MatchesWholeWordsOnly) {
    EXPECT_EQ(findCommand("-h"), &usageShortCmd);
    EXPECT_EQ(findCommand("--help"), &usageShortCmd);
    EXPECT_EQ(findCommand("--help-commands"), &usageCommandsCmd);
    EXPECT_EQ(findCommand("--help-legacy"), &usageLegacyCmd);
    EXPECT_EQ(findCommand("--help-stdin"), &usageStdinCmd);
    for (const char *word :
         {"", "--HELP", "--help=1", "--help ", "-help", "--get-connections", "h"})
        EXPECT_EQ(findCommand(word), nullptr) << word;
}

TEST(DoMain, MissingOrUnknownCommandIsWrongUsage) {
    auto none = runDoMain({"wendra"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.err, "Error: no command specified\n" + SHORT_USAGE);
    EXPECT_EQ(none.out, "");

    auto empty = runDoMain({"wendra", ""});
    EXPECT_EQ(empty.exitCode, 1);
    EXPECT_EQ(empty.err, "Error: invalid command \n" + SHORT_USAGE);
}

TEST(DoMain, HelpIgnoresFurtherArguments) {
    auto r = runDoMain({"wendra", "-h", "--bogus", "x"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, SHORT_USAGE);
    EXPECT_EQ(r.err, "");
}

TEST(RunReportingFailures, HandlerResultIsTheStatus) {
    auto r = runInChild([] { return runReportingFailures([] { return 7; }); });
    EXPECT_EQ(r.exitCode, 7);
    EXPECT_EQ(r.out + r.err, "");
}

TEST(RunReportingFailures, UtilExceptionIsAPlainMessage) {
    auto r = runInChild([] {
        return runReportingFailures(
            []() -> int { throw velka::VelkaUtilException("cannot do it"); });
    });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "cannot do it\n");
    EXPECT_EQ(r.err, "cannot do it\n");
}

TEST(RunReportingFailures, OtherExceptionsGetTheFatalReport) {
    auto r = runInChild(
        [] { return runReportingFailures([]() -> int { throw std::runtime_error("x"); }); });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Fatal error: std::runtime_error(x)\n");
    EXPECT_EQ(r.out, "Fatal error: std::runtime_error(x)\n");
}

TEST(RunReportingFailures, UnknownThrowIsStatusTwo) {
    auto r = runInChild([] { return runReportingFailures([]() -> int { throw 42; }); });
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "UNSPECIFIED ERROR OCCURED\n");
    EXPECT_EQ(r.out, "UNSPECIFIED ERROR OCCURED\n");
}
