// ExecCmd: runs, the failure text, the report and identifiers.
#include "lib/process/lib/ExecCmd.h"

#include "lib/errors/SystemError.h"
#include "tests/process/process_test_util.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include <sys/resource.h>

using proc_test::runInChild;
using velka::ExecCmd;
using velka::ExecCmdFailed;

namespace {

class ExecCmdTest : public proc_test::ProcessTest {};

// The text of the failure exec() throws; empty when it throws none.
std::string failureText(ExecCmd &cmd) {
    try {
        cmd.exec();
    } catch (const ExecCmdFailed &e) {
        return e.what();
    }
    return std::string();
}

} // namespace

TEST_F(ExecCmdTest, SuccessCapturesOutputAndThrowsNothing) {
    ExecCmd cmd("/bin/sh");
    cmd << "-c"
        << "printf out; printf err >&2; printf \"$VELKA_X\"";
    cmd.setEnv("VELKA_X", "first");
    cmd.setEnv("VELKA_X", "|second");
    EXPECT_EQ(cmd.exec(), 0);
    EXPECT_EQ(cmd.stdoutText, "out|second");
    EXPECT_EQ(cmd.stderrText, "err");
    EXPECT_TRUE(cmd.started && cmd.finished);
    EXPECT_EQ(cmd.returnCode, 0);
    EXPECT_EQ(cmd.savedErrno, 0);
    EXPECT_EQ(cmd.lastError, "");

    // A second run appends to what the first captured.
    EXPECT_EQ(cmd.exec(), 0);
    EXPECT_EQ(cmd.stdoutText, "out|secondout|second");
}

TEST_F(ExecCmdTest, FailureTextNamesCommandCodeAndOutput) {
    ExecCmd stdoutOnly("/bin/sh");
    stdoutOnly << "-c"
               << "printf a; exit 3";
    EXPECT_EQ(failureText(stdoutOnly),
              "Execution of /bin/sh -c printf\\ a\\;\\ exit\\ 3 failed with return code 3.\n"
              "Stdout is\na\n");

    ExecCmd both("/bin/sh");
    both << "-c"
         << "echo out; printf 'err\\n\\n' >&2; exit 255";
    EXPECT_EQ(failureText(both), "Execution of /bin/sh -c echo\\ out\\;\\ printf\\ "
                                 "\\'err\\\\n\\\\n\\'\\ \\>\\&2\\;\\ exit\\ 255"
                                 " failed with return code 255.\n"
                                 "Stdout is\nout\n"
                                 "Stderr is\nerr\n\n");

    ExecCmd emptyArg("/bin/sh");
    emptyArg << "-c"
             << "cat >/dev/null; exit 4"
             << "";
    emptyArg.stdinText = "input";
    EXPECT_EQ(
        failureText(emptyArg),
        "Execution of /bin/sh -c cat\\ \\>/dev/null\\;\\ exit\\ 4 '' failed with return code 4.\n"
        "Stdin is\ninput\n");
}

TEST_F(ExecCmdTest, FailureIsTheTaggedExceptionType) {
    ExecCmd cmd("/bin/sh");
    cmd << "-c"
        << "kill -KILL $$";
    try {
        cmd.exec();
        FAIL() << "no exception";
    } catch (const velka::Exc<&velka::ExecCmd::Failed, velka::ExDefault> &e) {
        EXPECT_EQ(cmd.returnCode, -1);
        EXPECT_STREQ(e.what(),
                     "Execution of /bin/sh -c kill\\ -KILL\\ \\$\\$ failed with return code -1.\n");
        EXPECT_STREQ(e.kindName(), "ExecCmd::ExFailed");
        EXPECT_EQ(e.getSeverity(), 30);
        EXPECT_EQ(e.getFunction(), "void velka::ExecCmd::reportError() const");
        EXPECT_EQ(e.getFile(), "lib/process/lib/ExecCmd");
    }
}

TEST_F(ExecCmdTest, MissingProgramIsReturnCodeOne) {
    ExecCmd cmd("/velka/no/such/program");
    EXPECT_EQ(cmd.exec(std::nothrow), 1);
    EXPECT_EQ(
        cmd.stderrText.rfind("forkExecvPipes: execv() failed: No such file or directory\n", 0), 0u);
    EXPECT_EQ(velka::getReport(cmd).rfind(
                  "The return code was 1 \nThe output on STDOUT was: \nforkExecvPipes", 0),
              0u);
}

TEST_F(ExecCmdTest, NothrowRunReturnsMinusOneWhenTheRunThrows) {
    auto result = runInChild([] {
        struct rlimit none = {0, 0};
        if (setrlimit(RLIMIT_NPROC, &none) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            return 1;
        ExecCmd cmd("/bin/true");
        if (cmd.exec(std::nothrow) != -1 || !cmd.started || cmd.finished)
            return 2;
        try {
            cmd.exec();
        } catch (const velka::SystemError &) {
            return 0;
        }
        return 3;
    });
    EXPECT_EQ(result.exitCode, 0);
}

TEST_F(ExecCmdTest, ReportOfARunAndOfNoRun) {
    ExecCmd never("/bin/true");
    EXPECT_EQ(velka::getReport(never),
              "The return code was -1 \nNo output on STDOUT were performed by the utility"
              " \nNo output on STDERR were performed by the utility");

    ExecCmd cmd("/bin/sh");
    cmd << "-c"
        << "printf o; printf e >&2; exit 0";
    cmd.exec();
    cmd.lastError = "Broken pipe";
    EXPECT_EQ(velka::getReport(cmd),
              "The return code was 0 \nThe output on STDOUT was: \no \nThe output on STDERR "
              "was: \ne \nThe last error was: \nBroken pipe");
}

TEST(NewUUID, IsVersionFourLayoutAndDiffersBetweenProcesses) {
    const std::regex layout("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-8[0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string uuid = velka::newUUID();
        EXPECT_TRUE(std::regex_match(uuid, layout)) << uuid;
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 100u);

    // Fresh processes must not repeat one another.
    auto first = runInChild([] { return printf("%s", velka::newUUID().c_str()) > 0 ? 0 : 1; });
    auto second = runInChild([] { return printf("%s", velka::newUUID().c_str()) > 0 ? 0 : 1; });
    EXPECT_EQ(first.out.size(), 36u);
    EXPECT_NE(first.out, second.out);
}
