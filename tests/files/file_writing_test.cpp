// Files replaced atomically in an opened directory.
#include "lib/files/file_writing.h"

#include "tests/support/test_common.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

namespace {

using velka::files::replaceAt;
using velka::files::Replacement;

class FileWriting : public ::testing::Test {
protected:
    void SetUp() override { dirfd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY); }
    void TearDown() override { close(dirfd); }

    // Replaces name with text; the state of name after it: content and mode.
    std::string replace(const char *name, const std::string &text, Replacement r = {}) {
        r.data = text.data();
        r.len = text.size();
        if (!replaceAt(dirfd, name, r))
            return "failed: " + std::string(strerror(errno));
        struct stat st;
        lstat(dir.file(name).c_str(), &st);
        std::ifstream in(dir.file(name));
        return std::string(std::istreambuf_iterator<char>(in), {}) + " " +
               std::to_string(st.st_mode & 07777) + (S_ISREG(st.st_mode) ? "" : " not regular");
    }
    int entries() {
        int count = 0;
        DIR *d = opendir(dir.path().c_str());
        while (readdir(d) != nullptr)
            ++count;
        closedir(d);
        return count - 2;
    }

    velka_test::ScratchDir dir;
    int dirfd = -1;
};

TEST_F(FileWriting, ModesOwnersTimesAndLinks) {
    const mode_t saved = umask(0);
    Replacement keyLike;
    keyLike.mode = 0440;
    EXPECT_EQ(replace("new", "key", keyLike), "key " + std::to_string(0440));

    // The mode and times of the replaced file stay when asked for.
    ASSERT_EQ(chmod(dir.file("new").c_str(), 0640), 0);
    const struct timespec times[2] = {{1000000000, 0}, {1200000000, 0}};
    ASSERT_EQ(utimensat(dirfd, "new", times, 0), 0);
    Replacement keep;
    keep.mode = 0644;
    keep.keep_existing = keep.keep_times = true;
    EXPECT_EQ(replace("new", "conf", keep), "conf " + std::to_string(0640));
    struct stat st;
    ASSERT_EQ(stat(dir.file("new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
    umask(saved);

    // A link at the name is replaced, never followed, and lends nothing.
    ASSERT_EQ(symlink(dir.file("new").c_str(), dir.file("link").c_str()), 0);
    EXPECT_EQ(replace("link", "text", keep), "text " + std::to_string(0644));
    EXPECT_EQ(replace("new", "conf", keep), "conf " + std::to_string(0640));
    EXPECT_EQ(entries(), 2) << "a temporary file is left";
}

TEST_F(FileWriting, FailuresSetErrnoAndLeaveNoTemporaryFile) {
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
    EXPECT_EQ(replace("sub", "x"), "failed: " + std::string(strerror(EISDIR)));
    Replacement noRandomPart;
    noRandomPart.temp_template = ".tmp";
    EXPECT_EQ(replace("f", "x", noRandomPart), "failed: " + std::string(strerror(EINVAL)));
    EXPECT_EQ(entries(), 1);
}

} // namespace
