// Tests for the limits on children: both pump families end a child past its time limit
// or when a stop is requested, also one that has closed its output, and apply the
// resource limits in the child only.
#include "lib/process/lib/ChildLimits.h"

#include "lib/process/lib/ExecCmd.h"
#include "lib/process/lib/fork_exec.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>

namespace {

using velka::ChildLimits;
using velka::ScopedChildLimits;

// Runs a shell command through the pump (ExecCmd) or the descriptor-level family.
int runPump(const char *script, int &error) {
    velka::ExecCmd cmd("/bin/sh");
    cmd << "-c" << script;
    const int result = cmd.exec(std::nothrow);
    error = cmd.savedErrno;
    return result;
}

int runDescriptorLevel(const char *script, int &error) {
    char *const argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                          const_cast<char *>(script), nullptr};
    char *out = nullptr, *err = nullptr;
    const int result = fork_execv_getouterr(&out, &err, "/bin/sh", argv);
    error = errno;
    free(out);
    free(err);
    return result;
}

bool stopNow() {
    return true;
}

TEST(ChildLimits, ChildrenAreEndedInTimeByBothFamilies) {
    using Runner = std::function<int(const char *, int &)>;
    const Runner runners[] = {runPump, runDescriptorLevel};
    struct Case {
        const char *script;
        ChildLimits limits;
        int result;
        int error;
    };
    ChildLimits timed;
    timed.timeLimitMs = 300;
    ChildLimits stopped;
    stopped.stopRequested = stopNow;
    const Case cases[] = {
        {"trap '' TERM; sleep 20", timed, -1, ETIME},
        {"exec >/dev/null 2>&1; sleep 20", timed, -1, ETIME},
        {"sleep 20", stopped, -1, ECANCELED},
        {"exit 3", timed, 3, 0},
    };
    for (const Runner &run : runners) {
        for (const Case &c : cases) {
            ScopedChildLimits scope(c.limits);
            const auto start = std::chrono::steady_clock::now();
            int error = 0;
            EXPECT_EQ(c.result, run(c.script, error)) << c.script;
            EXPECT_EQ(c.error, error) << c.script;
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10))
                << c.script;
        }
    }
    EXPECT_EQ(0, velka::childLimits().timeLimitMs);
}

TEST(ChildLimits, ResourceLimitsApplyInTheChildOnly) {
    ChildLimits capped;
    capped.fileSizeBytes = 4096;
    ScopedChildLimits scope(capped);
    velka::ExecCmd cmd("/bin/sh");
    cmd << "-c"
        << "ulimit -f";
    EXPECT_EQ(0, cmd.exec(std::nothrow));
    EXPECT_EQ("8\n", cmd.stdoutText); // in blocks of 512 bytes
    struct rlimit own;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &own));
    EXPECT_NE(4096u, own.rlim_cur);
}

} // namespace
