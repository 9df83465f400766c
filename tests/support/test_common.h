// Helpers that tests of every area share: a scratch directory, and running code in a
// forked child with its output captured (for code that exits or changes process-wide
// state).
#ifndef VELKA_TESTS_SUPPORT_TEST_COMMON_H
#define VELKA_TESTS_SUPPORT_TEST_COMMON_H

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace velka_test {

// A fresh directory under the system's temporary directory, removed with its content,
// also when a test left it without rights for its owner.
class ScratchDir {
public:
    ScratchDir() {
        namespace fs = std::filesystem;
        std::string tmpl = (fs::temp_directory_path() / "velka-test.XXXXXX").string();
        if (mkdtemp(&tmpl[0]) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~ScratchDir() {
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    std::string operator/(const std::string &name) const { return file(name); }

private:
    std::string path_;
};

struct ChildResult {
    int exitCode = -1; // -1 unless the child exited normally
    std::string out;
    std::string err;
};

inline std::string readAndRemove(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    unlink(path.c_str());
    return text.str();
}

// Runs fn in a forked child whose standard output and error go to files; the exit
// status is fn's result unless fn ends the process itself.
inline ChildResult runInChild(const std::function<int()> &fn) {
    char outPath[] = "/tmp/velka-test-out-XXXXXX";
    char errPath[] = "/tmp/velka-test-err-XXXXXX";
    const int outFd = mkstemp(outPath);
    const int errFd = mkstemp(errPath);
    if (outFd < 0 || errFd < 0)
        std::abort();
    std::cout.flush();
    std::cerr.flush();
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outFd, 1);
        dup2(errFd, 2);
        const int code = fn();
        std::cout.flush();
        std::cerr.flush();
        fflush(nullptr);
        _exit(code);
    }
    close(outFd);
    close(errFd);
    ChildResult result;
    int status = 0;
    pid_t reaped;
    while ((reaped = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (pid > 0 && reaped == pid && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    result.out = readAndRemove(outPath);
    result.err = readAndRemove(errPath);
    return result;
}

} // namespace velka_test

#endif
