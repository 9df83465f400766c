// uerr: characters on standard error at once, copy on standard output at each flush
// and at exit.
#include "lib/log/UtilityErrorStream.h"
#include "tests/support/test_common.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

using velka_test::runInChild;

TEST(UtilityErrorStream, StandardOutputOnlyAfterFlush) {
    auto r = runInChild([] {
        velka::uerr << "abc";
        // Peek at what reached the two files so far through their descriptors.
        off_t errSize = lseek(STDERR_FILENO, 0, SEEK_CUR);
        off_t outSize = lseek(STDOUT_FILENO, 0, SEEK_CUR);
        if (errSize != 3 || outSize != 0)
            return 10;
        velka::uerr << std::endl;
        return 0;
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "abc\n");
    EXPECT_EQ(r.out, "abc\n");
}

TEST(UtilityErrorStream, EachFlushCopiesOnlyNewText) {
    auto r = runInChild([] {
        velka::uerr << "one " << 1 << std::endl << "two" << std::flush;
        velka::uerr.flush();
        return 0;
    });
    EXPECT_EQ(r.err, "one 1\ntwo");
    EXPECT_EQ(r.out, "one 1\ntwo");
}

TEST(UtilityErrorStream, PendingTextReachesStandardOutputAtExit) {
    auto r = runInChild([] {
        velka::uerr << "first" << std::endl << "unflushed";
        std::exit(4);
        return 0;
    });
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.err, "first\nunflushed");
    EXPECT_EQ(r.out, "first\nunflushed");
}
