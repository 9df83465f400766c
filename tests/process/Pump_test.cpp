// The stream pump against real children.
#include "lib/process/lib/Pump.h"

#include "lib/errors/SystemError.h"
#include "tests/process/process_test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/resource.h>

using proc_test::openFdCount;
using proc_test::runInChild;

namespace {

class Pump : public proc_test::ProcessTest {};

int sh(const std::string &script, std::string &out, std::string &err,
       const std::string &input = "") {
    ArgList args;
    args << "sh"
         << "-c" << script;
    return forkExecvGetInOutErrSuidEnv(input, out, err, "/bin/sh", args, "", true, EnvMap());
}

std::string randomText(size_t size) {
    std::mt19937 gen(42);
    std::string text(size, '\0');
    for (char &c : text)
        c = static_cast<char>('a' + gen() % 26);
    return text;
}

} // namespace

TEST_F(Pump, FeedsAndCollectsMegabytesOnAllStreamsAtOnce) {
    alarm(60); // a deadlock ends the test instead of hanging it
    const std::string input = randomText(3 * 1024 * 1024 + 17);
    std::string out, err;
    EXPECT_EQ(sh("tee /dev/stderr", out, err, input), 0);
    alarm(0);
    EXPECT_TRUE(out == input) << out.size();
    EXPECT_TRUE(err == input) << err.size();
}

TEST_F(Pump, ReturnsExitStatusOrMinusOneForASignal) {
    for (int code : {0, 1, 2, 77, 254, 255}) {
        std::string out, err;
        EXPECT_EQ(sh("exit " + std::to_string(code), out, err), code);
    }
    std::string out, err;
    EXPECT_EQ(sh("echo before; kill -KILL $$", out, err), -1);
    EXPECT_EQ(out, "before\n");
}

TEST_F(Pump, ReportsAProgramThatCannotRunAsStatusOne) {
    std::string out, err;
    ArgList args;
    args << "velka-no-such-program";
    EXPECT_EQ(forkExecvGetOutErr(out, err, "velka-no-such-program", args), 1);
    EXPECT_EQ(err.rfind("forkExecvPipes: execv() failed: No such file or directory\n", 0), 0u)
        << err;

    // A name without a slash is searched in PATH.
    out.clear();
    EXPECT_EQ(forkExecvGetOutErr(out, err, std::vector<std::string>{"echo", "found"}), 0);
    EXPECT_EQ(out, "found\n");
    EXPECT_THROW(forkExecvGetOutErr(out, err, std::vector<std::string>{}), std::out_of_range);
}

TEST_F(Pump, ChildSeesOnlyTheStandardDescriptors) {
    const int stray = dup(0);
    const int high = dup2(0, 1000);
    std::string out, err;
    EXPECT_EQ(forkExecvGetOut(out, FD_PROBE, ArgList().add(FD_PROBE)), 0);
    EXPECT_EQ(out, "0 1 2\n");
    close(stray);
    close(high);
}

TEST_F(Pump, EmptyInputIsEndOfFileAndUnreadInputIsNoSigpipe) {
    std::string out, err;
    EXPECT_EQ(sh("cat; echo done", out, err), 0);
    EXPECT_EQ(out, "done\n");

    // Far more than a pipe holds, to a child that never reads it.
    const std::string input(4 * 1024 * 1024, 'x');
    EXPECT_EQ(sh("exit 0", out, err, input), 0);
    EXPECT_EQ(errno, EPIPE);
}

TEST_F(Pump, SetsTheEnvironmentMap) {
    setenv("VELKA_PUMP_OLD", "old", 1);
    std::string out, err;
    ArgList args;
    args << "sh"
         << "-c"
         << "echo \"$VELKA_A|$VELKA_PUMP_OLD|$PATH\"";
    const EnvMap env{{"VELKA_A", "a b"}, {"VELKA_PUMP_OLD", "new"}, {"PATH", "/velka"}};
    EXPECT_EQ(forkExecvGetOutErrSuidEnv(out, err, "/bin/sh", args, "", true, env), 0);
    EXPECT_EQ(out, "a b|new|/velka\n");

    out.clear();
    err.clear();
    EXPECT_EQ(
        forkExecvGetOutErrSuidEnv(out, err, "/bin/sh", args, "", true, EnvMap{{"BAD=NAME", "x"}}),
        1);
    EXPECT_NE(err.find("forkExecvPipes: setenv() falied: Invalid argument"), std::string::npos)
        << err;
}

TEST_F(Pump, RunsAsAnotherUserButNeverSwitchesToRoot) {
    ASSERT_EQ(getuid(), 0u) << "needs root";
    std::string out, err;
    EXPECT_EQ(
        forkExecvGetOutErrSuid(out, err, "id", ArgList().add("id").add("-u"), "nobody", false), 0);
    EXPECT_EQ(out, "65534\n");

    out.clear();
    EXPECT_EQ(forkExecvGetOutErrSuid(out, err, "sh",
                                     ArgList().add("sh").add("-c").add("id -u; pwd"), "root", true),
              0);
    char *cwd = get_current_dir_name();
    EXPECT_EQ(out, "0\n" + std::string(cwd) + "\n");
    free(cwd);

    out.clear();
    err.clear();
    EXPECT_EQ(forkExecvGetOutErrSuid(out, err, "id", ArgList().add("id").add("-u"), "nobody", true),
              1);
    EXPECT_EQ(err.rfind("Cannot chdir to 'nobody' homedir '/nonexistent'", 0), 0u) << err;
    EXPECT_EQ(out.find("65534"), std::string::npos);
}

TEST_F(Pump, CallbackFailureStopsTheChildAndIsRethrown) {
    auto failingReader = [](const char *, size_t, void *) {
        throw std::runtime_error("reader gave up");
    };
    const int fds = openFdCount();
    ArgList args;
    // Ignores SIGTERM before it speaks, so that only SIGKILL can end it.
    args << "sh"
         << "-c"
         << "trap '' TERM; echo ready; exec sleep 30";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(forkExecvGetInOutErrSuidEnv(nullptr, failingReader, nullptr, "/bin/sh", args, "",
                                             true, EnvMap(), nullptr, 0, 0, 0),
                 std::runtime_error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(openFdCount(), fds);
}

TEST_F(Pump, EndsWhenTheChildWasReapedElsewhere) {
    auto result = runInChild([] {
        alarm(20);
        signal(SIGCHLD, SIG_IGN);
        std::string out, err;
        const int rc = sh("echo hi", out, err);
        return rc == -1 && errno == ECHILD && out == "hi\n" ? 0 : 1;
    });
    EXPECT_EQ(result.exitCode, 0);
}

TEST_F(Pump, ForkFailureThrowsWithoutLeakingDescriptors) {
    auto result = runInChild([] {
        struct rlimit none = {0, 0};
        if (setrlimit(RLIMIT_NPROC, &none) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            return 1;
        const int fds = openFdCount();
        std::string out, err;
        try {
            sh("true", out, err);
        } catch (const velka::ExSystemError<EAGAIN> &e) {
            return std::string(e.what()) ==
                               "forkExecvPipes: fork() failed: Resource temporarily unavailable" &&
                           openFdCount() == fds
                       ? 0
                       : 2;
        }
        return 3;
    });
    EXPECT_EQ(result.exitCode, 0);
}

TEST_F(Pump, LeaksNoDescriptorOverManyRuns) {
    const int fds = openFdCount();
    for (int i = 0; i < 1000; ++i) {
        std::string out, err;
        ASSERT_EQ(forkExecvGetOutErr(out, err, "/bin/true", ArgList().add("true")), 0);
    }
    EXPECT_EQ(openFdCount(), fds);
}
