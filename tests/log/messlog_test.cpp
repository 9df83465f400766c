// Message functions: system error suffix, size limits, newline rule, PROGNAME, exit.
#include "lib/log/velka_log.h"
#include "tests/support/test_common.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>
#include <string>

using velka_test::runInChild;

namespace {

const std::string ENOENT_SUFFIX = std::string("\nSystem error 2: ") + strerror(ENOENT);

} // namespace

TEST(Messlog, StatusZeroPrintsWithErrnoTextAndReturns) {
    auto r = runInChild([] {
        errno = ENOENT;
        return messlog2(0, 1, "%s", "x") == 0 ? 0 : 9;
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "x" + ENOENT_SUFFIX + "\n");
    EXPECT_EQ(r.out, r.err);
}

TEST(Messlog, NoSuffixWithoutErrno) {
    auto r = runInChild([] {
        errno = 0;
        messlog2(0, 0, "plain %d", 42);
        return 0;
    });
    EXPECT_EQ(r.err, "plain 42\n");
    EXPECT_EQ(r.out, "plain 42\n");
}

TEST(Messlog, NonZeroStatusExitsAfterPrinting) {
    auto r = runInChild([] {
        errno = 0;
        messlog2(3, 1, "fatal");
        return 0;
    });
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err, "fatal\n");
    EXPECT_EQ(r.out, "fatal\n");
}

TEST(Messlog, LongMessagesArePrintedWholeWithoutSuffix) {
    // 5000 characters need the grown buffer; 4090 fit the first one but leave no room
    // for the suffix.
    for (size_t len : {size_t(5000), size_t(4090), size_t(4095), size_t(4096)}) {
        std::string text(len, 'm');
        auto r = runInChild([&] {
            errno = ENOENT;
            messlog2(0, 1, "%s", text.c_str());
            return 0;
        });
        EXPECT_EQ(r.err, text + "\n") << len;
        EXPECT_EQ(r.out, text + "\n") << len;
    }
}

TEST(Messlog, SuffixAddedWhileItFits) {
    std::string text(4095 - ENOENT_SUFFIX.size(), 'm');
    auto r = runInChild([&] {
        errno = ENOENT;
        messlog2(0, 1, "%s", text.c_str());
        return 0;
    });
    EXPECT_EQ(r.err, text + ENOENT_SUFFIX + "\n");
}

TEST(ExMesslog, NewlineRuleAndProgname) {
    auto r = runInChild([] {
        ex_messlog("ends\n", 0);
        ex_messlog("", 0);
        PROGNAME = "/usr/local/bin/tool";
        ex_messlog("named", 0);
        PROGNAME = "bare";
        return ex_messlog("again", 0);
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "ends\n\ntool: named\nbare: again\n");
    EXPECT_EQ(r.out, r.err);
}

TEST(ExMesslog, NonZeroStatusExits) {
    auto r = runInChild([] {
        ex_messlog("bye", 7);
        return 0;
    });
    EXPECT_EQ(r.exitCode, 7);
    EXPECT_EQ(r.err, "bye\n");
    EXPECT_EQ(r.out, "bye\n");
}
