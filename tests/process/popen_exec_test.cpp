// popen-based runs.
#include "lib/process/lib/fork_exec.h"

#include "tests/process/process_test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using proc_test::runInChild;

namespace {

class Popen : public proc_test::ProcessTest {};

} // namespace

TEST_F(Popen, CollectsOutputOfAnySizeAndTheStatusWithoutLeakingDescriptors) {
    char *out = nullptr;
    EXPECT_EQ(popen_exec_getoutput(&out, "head -c 20000 /dev/zero | tr '\\0' x; exit 3"), 3);
    EXPECT_EQ(std::string(out), std::string(20000, 'x'));
    free(out);
    EXPECT_EQ(popen_exec_getoutput(&out, "kill -KILL $$"), -1);
    EXPECT_STREQ(out, "");
    free(out);

    const int stray = dup2(0, 900);
    EXPECT_EQ(popen_exec_getoutput(&out, FD_PROBE), 0);
    EXPECT_STREQ(out, "0 1 2\n");
    free(out);
    close(stray);
}

TEST_F(Popen, ReportsAFailedCommand) {
    auto failed = runInChild([] { return popen_exec("exit 3"); });
    EXPECT_EQ(failed.exitCode, 3);
    EXPECT_EQ(failed.err, "popen_exec: command failed code: 3 , error: none\n");

    auto withOutput = runInChild([] { return popen_exec("echo why; exit 2"); });
    EXPECT_EQ(withOutput.err, "popen_exec: command failed code: 2 , why\n\n");
}

TEST_F(Popen, FeedsInputAndSurvivesACommandThatStopsReading) {
    char path[] = "/tmp/velka-popen-XXXXXX";
    close(mkstemp(path));
    EXPECT_EQ(popen_exec_with_input(("cat > " + std::string(path) + "; exit 4").c_str(), "line\n"),
              4);
    EXPECT_EQ(proc_test::readAndRemove(path), "line\n");

    const std::string big(1 << 20, 'b');
    auto result =
        runInChild([&] { return popen_exec_with_input("exit 0", big.c_str()) == -1 ? 0 : 1; });
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err.rfind("Failed to execute command with input: only ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(" of 1048576 bytes were written."), std::string::npos);
}
