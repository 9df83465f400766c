// Child set-up: closing descriptors, dup2Custom and the user switch.
#include "lib/process/lib/ChildSetup.h"

#include "lib/errors/SystemError.h"
#include "tests/process/process_test_util.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>

using proc_test::isOpen;
using proc_test::runInChild;

namespace {

// Opens count descriptors, the last of them moved up to high; returns the lowest.
int openMany(int count, int high) {
    int first = -1;
    for (int i = 0; i < count; ++i) {
        const int fd = dup(0);
        if (first < 0)
            first = fd;
    }
    dup2(0, high);
    return first;
}

// Exit code 0 when descriptors 0 to keep-1 are open and every one from keep up to
// limit is closed.
int checkOnlyBelow(int keep, int limit) {
    for (int fd = 0; fd < limit; ++fd)
        if (isOpen(fd) != (fd < keep))
            return 10 + (fd % 200);
    return 0;
}

// With count descriptors open up to high: the walk over /proc/self/fd must give up
// (exit code 2 if not), and closefrom(3) still leaves only 0 to 2 open below limit.
int closesByNumberAfterAFailedWalk(int count, int high, int limit) {
    openMany(count, high);
    if (closefrom_through_proc(3) != -1)
        return 2;
    closefrom(3);
    return checkOnlyBelow(3, limit);
}

} // namespace

TEST(ProcFdName, AcceptsOnlyCanonicalDecimalInts) {
    int fd = -1;
    EXPECT_EQ(proc_pid_fd_str_to_int("0", &fd), 0);
    EXPECT_EQ(fd, 0);
    EXPECT_EQ(proc_pid_fd_str_to_int("2147483647", &fd), 0);
    EXPECT_EQ(fd, INT_MAX);
    for (const char *bad :
         {"", "07", "00", "12a", "-1", "+1", "2147483648", "99999999999999999999"})
        EXPECT_EQ(proc_pid_fd_str_to_int(bad, &fd), -1) << bad;
    EXPECT_EQ(fd, INT_MAX);
}

TEST(Closefrom, ClosesEveryDescriptorFromTheBoundUp) {
    auto result = runInChild([] {
        openMany(20, 900);
        closefrom(5);
        return checkOnlyBelow(5, 1000);
    });
    EXPECT_EQ(result.exitCode, 0);
}

TEST(Closefrom, FallsBackToClosingByNumberWhenTheWalkIsCutShort) {
    auto result = runInChild([] {
        // Below 1000 the walk may meet only 100 entries.
        struct rlimit limit = {512, 512};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            return 1;
        return closesByNumberAfterAFailedWalk(150, 500, 512);
    });
    EXPECT_EQ(result.exitCode, 0);
}

TEST(Closefrom, WorksWithoutProcSelfFd) {
    auto result = runInChild([] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", "/proc", "tmpfs", 0, nullptr) != 0)
            return 77;
        return closesByNumberAfterAFailedWalk(10, 700, 1000);
    });
    if (result.exitCode == 77)
        GTEST_SKIP() << "cannot hide /proc here";
    EXPECT_EQ(result.exitCode, 0);
}

TEST(Dup2Custom, MovesClosesAndStandsInDevNull) {
    auto result = runInChild([] {
        int p[2];
        if (pipe(p) != 0 || dup2Custom(p[1], 20) != 20 || isOpen(p[1]))
            return 1;
        if (dup2Custom(20, 20) != 20 || !isOpen(20))
            return 2;
        // /dev/null lands on the lowest free number, which may be the target.
        close(0);
        if (dup2Custom(-1, 0) != 0 || !isOpen(0))
            return 3;
        char c;
        if (read(0, &c, 1) != 0)
            return 4;
        if (dup2Custom(-1, 30) != 30 || read(30, &c, 1) != 0)
            return 5;
        return 0;
    });
    EXPECT_EQ(result.exitCode, 0);

    try {
        dup2Custom(12345, 40);
        FAIL() << "no exception";
    } catch (const velka::SystemError &e) {
        EXPECT_STREQ(e.what(), "dup2Custom failed: Bad file descriptor");
    }
}

TEST(SetUid, RefusesRootUnlessAllowed) {
    auto refused = runInChild([] { return p_setuid_ex("root", 0, 0); });
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, "Cannot run as forbidden uid: 0\n");
    EXPECT_EQ(refused.out, refused.err);

    auto allowed =
        runInChild([] { return p_setuid_with_flags("root", P_SETUID_ALLOW_ROOT) == 0 ? 0 : 1; });
    EXPECT_EQ(allowed.exitCode, 0);
}

TEST(SetUid, SwitchesUidGidAndGroups) {
    auto result = runInChild([] {
        p_setuid_ex("nobody", 0, 0);
        gid_t groups[4];
        const int n = getgroups(4, groups);
        return getuid() == 65534 && geteuid() == 65534 && getgid() == 65534 && n == 1 &&
                       groups[0] == 65534
                   ? 0
                   : 1;
    });
    EXPECT_EQ(result.exitCode, 0) << result.err;
}

TEST(SetUid, FailuresEndTheProcess) {
    auto noHome = runInChild([] { return p_setuid("nobody"); });
    EXPECT_EQ(noHome.exitCode, 1);
    EXPECT_EQ(noHome.err, "Cannot chdir to 'nobody' homedir '/nonexistent'\nSystem error 2: No "
                          "such file or directory\n");

    auto unknown = runInChild([] { return p_setuid("velka-no-such-user"); });
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_NE(unknown.err.find("User 'velka-no-such-user' not found"), std::string::npos)
        << unknown.err;
}
