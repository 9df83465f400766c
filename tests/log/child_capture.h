// Runs a function in a forked child with standard output and standard error captured,
// for code that exits or changes process-wide state.
#ifndef VELKA_TESTS_LOG_CHILD_CAPTURE_H
#define VELKA_TESTS_LOG_CHILD_CAPTURE_H

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace velka_test {

struct ChildResult {
    int exitCode = -1; // -1 unless the child exited normally
    std::string out;
    std::string err;
};

inline std::string slurpAndRemove(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    unlink(path.c_str());
    return text.str();
}

inline std::string makeTempFile() {
    char path[] = "/tmp/velka-test-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        std::abort();
    close(fd);
    return path;
}

// The child's exit status is fn's return value, or whatever exit() fn calls.
inline ChildResult runInChild(const std::function<int()> &fn) {
    std::string outPath = makeTempFile();
    std::string errPath = makeTempFile();
    std::cout.flush();
    std::cerr.flush();
    fflush(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr))
            _exit(127);
        int status = fn();
        std::cout.flush();
        std::cerr.flush();
        fflush(nullptr);
        _exit(status);
    }

    ChildResult result;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    result.out = slurpAndRemove(outPath);
    result.err = slurpAndRemove(errPath);
    return result;
}

} // namespace velka_test

#endif
