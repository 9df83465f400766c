// ArgList: null-terminated vectors of owned copies.
#include "lib/process/lib/ArgList.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

TEST(ArgList, KeepsANullEntryAfterTheCopiedArguments) {
    ArgList args;
    EXPECT_EQ(args.size(), 0u);
    EXPECT_EQ(args.argv()[0], nullptr);

    std::string arg = "first";
    args << arg << ""
         << "third";
    arg[0] = 'X';
    ASSERT_EQ(args.size(), 3u);
    EXPECT_STREQ(args.argv()[0], "first");
    EXPECT_STREQ(args.argv()[1], "");
    EXPECT_STREQ(args[2], "third");
    EXPECT_EQ(args.argv()[3], nullptr);
}

TEST(ArgList, CopiesAreDeepAndMovedFromListsStayUsable) {
    ArgList original;
    original << "a"
             << "b";
    ArgList copy(original);
    EXPECT_NE(copy.argv()[0], original.argv()[0]);
    EXPECT_STREQ(copy[1], "b");

    ArgList moved(std::move(original));
    EXPECT_STREQ(moved[0], "a");
    EXPECT_EQ(original.size(), 0u);
    EXPECT_EQ(original.argv()[0], nullptr);
    original << "again";
    EXPECT_STREQ(original[0], "again");

    copy = moved;
    EXPECT_EQ(copy.size(), 2u);
    EXPECT_EQ(copy.argv()[2], nullptr);
}
