// Help texts go to the stream given and end with the status given (their exact bytes
// are checked against the built program by the integration tests).
#include "wendra/wendra_commands.h"

#include "tests/support/test_common.h"

#include <gtest/gtest.h>

#include <iostream>

using namespace velka::mail::wendra_commands;
using velka_test::runInChild;

TEST(Usage, StreamAndStatusAreTheCallers) {
    auto r = runInChild([]() -> int { usageShort(5, std::cerr); });
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("Usage: wendra <COMMAND> <COMMAND OPTIONS...>\n", 0), 0u);

    auto stdinHelp = runInChild([]() -> int { usageStdin(3, std::cout); });
    EXPECT_EQ(stdinHelp.exitCode, 3);
    EXPECT_EQ(stdinHelp.out + stdinHelp.err, "");
}
