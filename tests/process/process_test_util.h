// Shared by the process tests: the common child runner, and checks that no child or
// descriptor is left behind.
#ifndef VELKA_TESTS_PROCESS_PROCESS_TEST_UTIL_H
#define VELKA_TESTS_PROCESS_PROCESS_TEST_UTIL_H

#include "tests/support/test_common.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace proc_test {

using velka_test::ChildResult;
using velka_test::readAndRemove;
using velka_test::runInChild;

inline int openFdCount() {
    DIR *dir = opendir("/proc/self/fd");
    int count = 0;
    while (readdir(dir))
        ++count;
    closedir(dir);
    return count;
}

inline bool isOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// True when the process has no child at all, running or zombie.
inline bool noChildLeft() {
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

class ProcessTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(noChildLeft()) << "a child or zombie is left"; }
};

} // namespace proc_test

#endif
