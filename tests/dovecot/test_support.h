// Helpers of the Dovecot configuration tests: a scratch directory, file reading and
// writing, fake programs written as shell scripts.
#ifndef VELKA_TESTS_DOVECOT_TEST_SUPPORT_H
#define VELKA_TESTS_DOVECOT_TEST_SUPPORT_H

#include "dovecot/config_reader.h"
#include "dovecot/config_writer.h"
#include "dovecot/include_file.h"
#include "dovecot/service_control.h"
#include "dovecot/write_lock.h"
#include "tests/support/test_common.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace dovecot_test {

namespace fs = std::filesystem;

using velka_test::ScratchDir;

inline std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void writeFile(const std::string &path, const std::string &content, mode_t mode = 0644) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
    chmod(path.c_str(), mode);
}

// An executable shell script at path with the given body after "#!/bin/sh".
inline void writeScript(const std::string &path, const std::string &body) {
    writeFile(path, "#!/bin/sh\n" + body, 0755);
}

// Sets (or with a null value unsets) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name) {
        const char *old = getenv(name);
        hadOld_ = old != nullptr;
        if (hadOld_)
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (hadOld_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }

private:
    std::string name_;
    std::string old_;
    bool hadOld_;
};

// Names in dir, sorted, one per line; the writers' lock file is not shown.
inline std::string listDir(const std::string &dir) {
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.path().filename() != velka::mail::dovecot::WRITE_LOCK_FILENAME)
            names.insert(entry.path().filename().string());
    std::string list;
    for (const auto &name : names)
        list += name + "\n";
    return list;
}

// Stands in for the service-control script: records the arguments of each call as one
// line, prints what failWith() gave and exits with its status (0 until then).
class FakeVelkarc {
public:
    explicit FakeVelkarc(const ScratchDir &dir)
        : calls_(dir / "velkarc.calls"), state_(dir / "velkarc.state") {
        std::string script = dir / "velkarc";
        writeScript(script, "echo \"$*\" >> '" + calls_ +
                                "'\n"
                                "[ -f '" +
                                state_ + ".out' ] && cat '" + state_ +
                                ".out'\n"
                                "[ -f '" +
                                state_ + ".err' ] && cat '" + state_ +
                                ".err' >&2\n"
                                "[ -f '" +
                                state_ + "' ] && exit \"$(cat '" + state_ +
                                "')\"\n"
                                "exit 0\n");
        set_service_control_paths(script.c_str(), nullptr);
    }
    ~FakeVelkarc() { set_service_control_paths(VELKARC_PATH, nullptr); }

    void failWith(int status, const std::string &out = "", const std::string &err = "") {
        writeFile(state_, std::to_string(status) + "\n");
        if (!out.empty())
            writeFile(state_ + ".out", out);
        if (!err.empty())
            writeFile(state_ + ".err", err);
    }
    // One line per call: "dovecot reload-or-restart".
    std::string calls() const { return readFile(calls_); }

private:
    std::string calls_;
    std::string state_;
};

// Stands in for doveconf in the check before a reload: it exits 0 until rejectWith()
// makes it print a message on standard error and exit 89, as doveconf does for a
// configuration it refuses, whenever the shell condition given holds. Records its
// arguments, one line per run.
class FakeDoveconfCheck {
public:
    explicit FakeDoveconfCheck(const ScratchDir &dir)
        : program_(dir / "doveconf"), calls_(dir / "doveconf.calls"),
          message_(dir / "doveconf.message"), condition_(dir / "doveconf.condition") {
        writeScript(program_, "echo \"$*\" >> '" + calls_ + "'\n[ -f '" + message_ +
                                  "' ] || exit 0\n. '" + condition_ + "' || exit 0\ncat '" +
                                  message_ + "' >&2\nexit 89\n");
        velka::mail::dovecot::setDoveconfPath(program_);
    }
    ~FakeDoveconfCheck() { velka::mail::dovecot::setDoveconfPath("/usr/bin/doveconf"); }

    void rejectWith(const std::string &message, const std::string &condition = "true") {
        writeFile(message_, message);
        writeFile(condition_, condition + "\n");
    }
    std::string calls() const { return readFile(calls_); }

private:
    std::string program_;
    std::string calls_;
    std::string message_;
    std::string condition_;
};

// A scratch include directory, with the service-control script and doveconf's check
// before a reload replaced by fakes.
class IncludeDirTest : public testing::Test {
protected:
    ScratchDir dir;
    ScratchDir scriptDir;
    ScopedEnv includeDir{"DC_INCLUDE_DIR", dir.path().c_str()};
    FakeVelkarc velkarc{scriptDir};
    FakeDoveconfCheck doveconf{scriptDir};

    // The quota warning's user exists here, whatever this machine's user database says.
    void SetUp() override {
        velka::mail::dovecot::setUserExistsCheck([](const char *) { return true; });
    }
    // Each test has its own include directory: what a test left pending is not the next
    // one's, nor the lock.
    void TearDown() override {
        velka::mail::dovecot::setUserExistsCheck(nullptr);
        velka::mail::dovecot::keepDovecotChanges();
        velka::mail::dovecot::unlockDovecotConfig();
    }

    std::string file(const std::string &name) { return readFile(dir / name); }
};

const char HEADER[] = "#ATTENTION!\n"
                      "#\n"
                      "#DO NOT MODIFY THIS FILE BECAUSE IT WAS GENERATED AUTOMATICALLY,\n"
                      "#SO ALL YOUR CHANGES WILL BE LOST THE NEXT TIME THE FILE IS GENERATED.\n"
                      "\n";

} // namespace dovecot_test

#endif
