// Descriptor-level spawning family against real children.
#include "lib/process/lib/fork_exec.h"

#include "tests/log/log_capture.h"
#include "tests/process/process_test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <string>
#include <vector>

using proc_test::openFdCount;
using proc_test::runInChild;

namespace {

const std::vector<LogLine> &logged = LogCapture::lines();

class ForkExec : public proc_test::ProcessTest {
protected:
    LogCapture log;
};

// Runs sh -c script with both outputs captured.
int shOutErr(const char *script, std::string &out, std::string &err) {
    char *o = nullptr;
    char *e = nullptr;
    const int rc = fork_execl_getouterr(&o, &e, "/bin/sh", "sh", "-c", script, nullptr);
    out = o ? o : "(null)";
    err = e ? e : "(null)";
    free(o);
    free(e);
    return rc;
}

std::string seconds(std::chrono::steady_clock::duration d) {
    return std::to_string(std::chrono::duration<double>(d).count());
}

} // namespace

TEST_F(ForkExec, CapturesBothStreamsAndEveryExitStatus) {
    std::string out, err;
    EXPECT_EQ(shOutErr("head -c 300000 /dev/zero | tr '\\0' o; echo e >&2; exit 7", out, err), 7);
    EXPECT_EQ(out, std::string(300000, 'o'));
    EXPECT_EQ(err, "e\n");
    for (int code : {0, 1, 128, 255}) {
        EXPECT_EQ(shOutErr(("exit " + std::to_string(code)).c_str(), out, err), code);
        EXPECT_EQ(out, "");
    }
    EXPECT_EQ(shOutErr("kill -TERM $$", out, err), -1);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].priority, 4);
    EXPECT_NE(logged[0].text.find("process '/bin/sh' killed by signal 15"), std::string::npos)
        << logged[0].text;

    char *o = nullptr;
    EXPECT_EQ(fork_execl_getout(&o, "/bin/echo", "echo", "only", "out", nullptr), 0);
    EXPECT_STREQ(o, "only out\n");
    free(o);
}

TEST_F(ForkExec, MissingProgramIsStatus255) {
    std::string out, err;
    char *o = nullptr;
    char *e = nullptr;
    char *const argv[] = {const_cast<char *>("x"), nullptr};
    EXPECT_EQ(fork_execv_getouterr(&o, &e, "/velka/no/such", argv), 255);
    EXPECT_STREQ(e, "fork_execv: execv(\"/velka/no/such\") failed: No such file or directory\n");
    free(o);
    free(e);
}

TEST_F(ForkExec, ChildSeesOnlyTheStandardDescriptors) {
    const int stray = dup2(0, 900);
    char *out = nullptr;
    char *const argv[] = {const_cast<char *>(FD_PROBE), nullptr};
    EXPECT_EQ(fork_execv_getout(&out, FD_PROBE, argv), 0);
    EXPECT_STREQ(out, "0 1 2\n");
    free(out);
    close(stray);
}

TEST_F(ForkExec, GrandchildHoldingThePipesDoesNotHoldTheCaller) {
    std::string out, err;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(shOutErr("echo started; sleep 4 & exit 3", out, err), 3);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(out, "started\n");
    EXPECT_GT(took, std::chrono::milliseconds(900)) << seconds(took);
    EXPECT_LT(took, std::chrono::milliseconds(2500)) << seconds(took);
}

TEST_F(ForkExec, EndsWhenTheChildWasReapedElsewhere) {
    auto result = runInChild([] {
        alarm(20);
        signal(SIGCHLD, SIG_IGN);
        std::string out, err;
        return shOutErr("echo hi", out, err) == -1 && out == "hi\n" ? 0 : 1;
    });
    EXPECT_EQ(result.exitCode, 0);
}

TEST_F(ForkExec, LogFailureReportsOutputAndPath) {
    auto noOutput =
        runInChild([] { return fork_execl_log("/bin/sh", "sh", "-c", "exit 2", nullptr); });
    EXPECT_EQ(noOutput.exitCode, 2);
    EXPECT_EQ(noOutput.err, "/bin/sh execution failed (no output)\n");
    EXPECT_EQ(noOutput.out, noOutput.err);

    auto withOutput = runInChild([] {
        return fork_execl_log("/bin/sh", "sh", "-c", "echo o; echo e >&2; exit 1", nullptr);
    });
    EXPECT_EQ(withOutput.err, "o\n/bin/sh execution failed:\ne\n");
    EXPECT_EQ(withOutput.out, "/bin/sh execution failed:\ne\n");

    char *const argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                          const_cast<char *>("exit 4"), nullptr};
    auto quiet = runInChild([&] { return fork_execv_log("/bin/sh", argv, 1); });
    EXPECT_EQ(quiet.exitCode, 4);
    EXPECT_EQ(quiet.err, "");
}

TEST_F(ForkExec, WaitpidLogsEveryAbnormalEnd) {
    EXPECT_EQ(fork_exec_waitpid(-1, nullptr, nullptr), -1);
    EXPECT_EQ(fork_exec_getres(-1, "x"), -1);
    EXPECT_EQ(fork_exec_waitpid(1, "init", nullptr), -1);

    // A stopped child is reported, then killed and reaped rather than left behind.
    const pid_t stopping =
        fork_execl_pipes(-1, -1, -1, "/bin/sh", "sh", "-c", "kill -STOP $$", nullptr);
    int status = 0;
    EXPECT_EQ(fork_exec_waitpid(stopping, "stopper", &status), -1);
    EXPECT_TRUE(WIFSTOPPED(status));

    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(logged[0], (LogLine{3, "fork before spawning '<unknown>' failed"}));
    EXPECT_EQ(logged[1],
              (LogLine{3, "waitpid(1) for 'init' process failed: No child processes (10)"}));
    EXPECT_EQ(logged[2].priority, 4);
    EXPECT_EQ(logged[2].text, "waitpid(" + std::to_string(stopping) +
                                  ")=" + std::to_string(stopping) +
                                  ": process 'stopper' stopped by signal 19");
}

TEST_F(ForkExec, FdFormRelaysStandardErrorAndRefusesStandardDescriptors) {
    char inPath[] = "/tmp/velka-fd-in-XXXXXX";
    char outPath[] = "/tmp/velka-fd-out-XXXXXX";
    const int in = mkstemp(inPath);
    const int out = mkstemp(outPath);
    ASSERT_EQ(write(in, "data\n", 5), 5);
    lseek(in, 0, SEEK_SET);
    char *const argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                          const_cast<char *>("cat; echo relayed >&2; exit 5"), nullptr};
    auto result = runInChild([&] { return fork_execv_fd(in, out, "/bin/sh", argv); });
    EXPECT_EQ(result.exitCode, 5);
    EXPECT_EQ(result.err, "relayed\n");
    EXPECT_EQ(proc_test::readAndRemove(outPath), "data\n");
    unlink(inPath);

    auto refused = runInChild([&] { return fork_execv_fd(0, out, "/bin/sh", argv); });
    EXPECT_EQ(refused.exitCode, 255); // -1 as an exit code
    EXPECT_EQ(refused.err, "values 0,1,2 not allowed for variables fd_in & fd_out\n");
    close(in);
    close(out);
}

TEST_F(ForkExec, PrepareFdsMovesOverlappingDescriptors) {
    auto result = runInChild([] {
        // out on 0 and err on 1, both in the way of earlier moves.
        FILE *outFile = tmpfile();
        FILE *errFile = tmpfile();
        const int in = open("/dev/null", O_RDONLY);
        if (dup2(fileno(outFile), 0) < 0 || dup2(fileno(errFile), 1) < 0 || dup2(0, 600) < 0 ||
            prepare_fds_to_exec(in, 0, 1) != 0)
            return 1;
        if (proc_test::isOpen(3) || proc_test::isOpen(600))
            return 2;
        char o = 0, e = 0, c;
        if (write(1, "o", 1) != 1 || write(2, "e", 1) != 1 || read(0, &c, 1) != 0)
            return 3;
        return pread(1, &o, 1, 0) == 1 && o == 'o' && pread(2, &e, 1, 0) == 1 && e == 'e' ? 0 : 4;
    });
    EXPECT_EQ(result.exitCode, 0);
}

TEST_F(ForkExec, VariadicFormsTakeAtMost99Arguments) {
    std::vector<std::string> extra(120, "a");
    // sh -c script $0 $1...: of the 99 arguments, -c, the script and $0 leave 96.
    auto result = runInChild([&] {
        return path_exec("/bin/sh", "-c", "exit $#", "zero", extra[0].c_str(), extra[1].c_str(),
                         extra[2].c_str(),
#define A10 "a", "a", "a", "a", "a", "a", "a", "a", "a", "a"
                         A10, A10, A10, A10, A10, A10, A10, A10, A10, A10, A10, nullptr);
#undef A10
    });
    EXPECT_EQ(result.exitCode, 96);
}

TEST_F(ForkExec, UtilExecChecksNamesAndBuildsThePath) {
    auto slash = runInChild([] { return -util_exec("../sbin/x", nullptr); });
    EXPECT_EQ(slash.exitCode, 1);
    EXPECT_EQ(slash.err,
              "Utility name '../sbin/x' is invalid. Use only utility name without path.\n");

    auto missing = runInChild([] { return util_exec("velka-no-such-utility", "arg", nullptr); });
    EXPECT_EQ(missing.exitCode, 255);
    EXPECT_EQ(missing.out,
              "/usr/local/vqa/admin/sbin/velka-no-such-utility execution failed:\nfork_execv: "
              "execv(\"/usr/local/vqa/admin/sbin/velka-no-such-utility\") failed: No such file or "
              "directory\n");

    const std::string longName(5000, 'n');
    auto tooLong = runInChild([&] { return -util_libexec(longName.c_str(), nullptr); });
    EXPECT_EQ(tooLong.exitCode, 1);
}

TEST_F(ForkExec, ForkExecvAndDoExecWaitOnlyForTheirOwnChild) {
    const pid_t other =
        fork_execl_pipes(-1, -1, -1, "/bin/sh", "sh", "-c", "sleep 0.3; exit 9", nullptr);
    EXPECT_EQ(fork_execv("/bin/sh", "-c", "read x; exit 6", nullptr), 6);
    EXPECT_EQ(fork_execv("/bin/sh", "-c", "kill -KILL $$", nullptr), 1);
    EXPECT_EQ(fork_execv("/velka/no/such", nullptr), 255);
    char *const argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                          const_cast<char *>("exit 3"), nullptr};
    EXPECT_EQ(do_exec("/bin/sh", argv), 3 << 8);
    EXPECT_EQ(fork_exec_getres(other, "other"), 9);
}

TEST_F(ForkExec, LeaksNoDescriptorOverManyRuns) {
    const int fds = openFdCount();
    for (int i = 0; i < 1000; ++i) {
        char *o = nullptr, *e = nullptr;
        ASSERT_EQ(fork_execl_getouterr(&o, &e, "/bin/true", "true", nullptr), 0);
        free(o);
        free(e);
    }
    EXPECT_EQ(openFdCount(), fds);
}
