// Whole files written and replaced in an opened directory.
#include "lib/files/file_writing.h"

#include "tests/support/test_common.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>
#include <thread>

using velka::files::replaceAt;
using velka::files::Replacement;
using velka::files::writeAll;

namespace {

class FileWriting : public ::testing::Test {
protected:
    void SetUp() override { dirfd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY); }
    void TearDown() override { close(dirfd); }

    std::string read(const std::string &name) {
        std::ifstream in(dir.file(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void write(const std::string &name, const std::string &text) {
        std::ofstream(dir.file(name), std::ios::binary) << text;
    }
    struct stat statOf(const std::string &name) {
        struct stat st {};
        lstat(dir.file(name).c_str(), &st);
        return st;
    }
    std::set<std::string> names() {
        std::set<std::string> found;
        DIR *d = opendir(dir.path().c_str());
        for (const dirent *e; (e = readdir(d)) != nullptr;)
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                found.insert(e->d_name);
        closedir(d);
        return found;
    }
    // A replacement with a copy of content, kept until the next call.
    Replacement text(const std::string &content, mode_t mode = 0644) {
        kept = content;
        Replacement r;
        r.data = kept.data();
        r.len = kept.size();
        r.mode = mode;
        return r;
    }

    velka_test::ScratchDir dir;
    int dirfd = -1;
    std::string kept;
};

TEST_F(FileWriting, WriteAllDeliversEveryByteThroughAPipe) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string big(1 << 20, 'w'); // far beyond a pipe's buffer: many short writes
    std::string got;
    std::thread reader([&] {
        char buf[4096];
        for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
            got.append(buf, static_cast<size_t>(n));
    });
    EXPECT_TRUE(writeAll(fds[1], big.data(), big.size()));
    close(fds[1]);
    reader.join();
    close(fds[0]);
    EXPECT_EQ(got, big);
}

TEST_F(FileWriting, NewFilesGetTheirModeWhateverTheUmask) {
    const mode_t saved = umask(0);
    for (mode_t mode : {0644, 0600, 0440, 0400}) {
        const std::string content = "mode " + std::to_string(mode);
        ASSERT_TRUE(replaceAt(dirfd, "f", text(content, mode))) << mode;
        EXPECT_EQ(read("f"), content);
        EXPECT_EQ(statOf("f").st_mode & 07777, mode);
        ASSERT_EQ(unlink(dir.file("f").c_str()), 0);
    }
    umask(saved);
    EXPECT_EQ(names(), std::set<std::string>{}) << "a temporary file is left";
}

TEST_F(FileWriting, KeepsModeOwnerAndTimesOfTheReplacedFile) {
    write("conf", "old");
    ASSERT_EQ(chmod(dir.file("conf").c_str(), 0640), 0);
    const struct timespec times[2] = {{1000000000, 0}, {1200000000, 0}};
    ASSERT_EQ(utimensat(dirfd, "conf", times, 0), 0);
    const struct stat old = statOf("conf");
    Replacement r = text("new", 0644);
    r.keep_existing = true;
    r.keep_times = true;
    ASSERT_TRUE(replaceAt(dirfd, "conf", r));
    const struct stat now = statOf("conf");
    EXPECT_EQ(read("conf"), "new");
    EXPECT_NE(now.st_ino, old.st_ino);
    EXPECT_EQ(now.st_mode & 07777, 0640u);
    EXPECT_EQ(now.st_uid, old.st_uid);
    EXPECT_EQ(now.st_mtim.tv_sec, 1200000000);
    EXPECT_EQ(now.st_atim.tv_sec, 1000000000);
}

TEST_F(FileWriting, ALinkIsReplacedNeverFollowed) {
    write("target", "precious");
    ASSERT_EQ(symlink(dir.file("target").c_str(), dir.file("name").c_str()), 0);
    Replacement r = text("new");
    r.keep_existing = true; // the link's target must not lend its attributes either
    ASSERT_TRUE(replaceAt(dirfd, "name", r));
    EXPECT_EQ(read("target"), "precious");
    EXPECT_TRUE(S_ISREG(statOf("name").st_mode));
    EXPECT_EQ(read("name"), "new");
}

TEST_F(FileWriting, FailuresSetErrnoAndLeaveNoTemporaryFile) {
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
    errno = 0;
    EXPECT_FALSE(replaceAt(dirfd, "sub", text("x")));
    EXPECT_EQ(errno, EISDIR);
    Replacement noRandomPart = text("x");
    noRandomPart.temp_template = ".tmp";
    EXPECT_FALSE(replaceAt(dirfd, "f", noRandomPart));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(names(), std::set<std::string>{"sub"});
}

} // namespace
