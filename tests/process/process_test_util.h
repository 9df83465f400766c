// Shared by the process tests: running code in a forked child with its output
// captured, and checks that no child or descriptor is left behind.
#ifndef VELKA_TESTS_PROCESS_PROCESS_TEST_UTIL_H
#define VELKA_TESTS_PROCESS_PROCESS_TEST_UTIL_H

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

struct ChildResult {
    int status = -1; // raw wait status
    std::string out;
    std::string err;
    int exitCode() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
};

inline std::string readAndRemove(const char *path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    unlink(path);
    return text.str();
}

// Runs fn in a forked child whose standard output and error go to files; the exit
// status is fn's result unless fn ends the process itself.
inline ChildResult runInChild(const std::function<int()> &fn) {
    char outPath[] = "/tmp/velka-proc-test-XXXXXX";
    char errPath[] = "/tmp/velka-proc-test-XXXXXX";
    const int outFd = mkstemp(outPath);
    const int errFd = mkstemp(errPath);
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outFd, 1);
        dup2(errFd, 2);
        const int code = fn();
        fflush(nullptr);
        _exit(code);
    }
    close(outFd);
    close(errFd);
    ChildResult result;
    while (waitpid(pid, &result.status, 0) < 0 && errno == EINTR) {
    }
    result.out = readAndRemove(outPath);
    result.err = readAndRemove(errPath);
    return result;
}

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
