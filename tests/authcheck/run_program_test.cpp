// The runner of velka-auth-check: what the program inherits, output read in full
// while signals arrive, and the time limit.
#include "authcheck/run_program.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

using namespace velka::authcheck;
using namespace std::chrono_literals;

TEST(RunProgram, TheProgramGetsOnlyItsStandardStreams) {
    // Left open across exec, as a caller of the tool may leave one.
    const int inherited = open("/dev/null", O_RDONLY);
    ASSERT_GE(inherited, 0);
    const ProgramOutput result = runProgram({FD_PROBE}, 10s);
    close(inherited);
    EXPECT_EQ(result.status, 0) << result.failure;
    EXPECT_EQ(result.out, "0 1 2\n");
}

TEST(RunProgram, OutputIsReadInFullWhileSignalsArrive) {
    struct sigaction ignore = {}, saved;
    ignore.sa_handler = [](int) {}; // no SA_RESTART: waits end with EINTR
    sigaction(SIGALRM, &ignore, &saved);
    const struct itimerval every5ms = {{0, 5000}, {0, 5000}}, off = {};
    setitimer(ITIMER_REAL, &every5ms, nullptr);
    const ProgramOutput result =
        runProgram({"/bin/sh", "-c", "sleep 0.3; echo out; echo err >&2"}, 10s);
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &saved, nullptr);
    EXPECT_EQ(result.status, 0) << result.failure;
    EXPECT_EQ(result.out, "out\n");
    EXPECT_EQ(result.err, "err\n");
}

// A setting that names a FIFO keeps the program that opens it waiting for a writer.
TEST(RunProgram, AProgramWaitingOnAFifoIsStoppedAtTheLimit) {
    char dir[] = "/tmp/authcheck-run-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/cert.pem";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto started = std::chrono::steady_clock::now();
    const ProgramOutput result = runProgram({"/bin/cat", fifo}, 300ms);
    const auto took = std::chrono::steady_clock::now() - started;
    unlink(fifo.c_str());
    rmdir(dir);
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(result.failure, "/bin/cat did not finish within 300 ms");
    EXPECT_LT(took, 5s);
}

TEST(RunProgram, AProgramThatCannotRunSaysWhy) {
    const ProgramOutput result = runProgram({"/nonexistent/doveconf"}, 10s);
    EXPECT_EQ(result.status, 127);
    EXPECT_EQ(result.err, "cannot run /nonexistent/doveconf: No such file or directory\n");
}

} // namespace
