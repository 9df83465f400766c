// SystemError: composed text, and the class throwSystemError picks.
#include "lib/errors/SystemError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <typeinfo>

namespace {

template <int N> void expectSubclass() {
    try {
        velka::throwSystemError("op", N);
    } catch (const velka::ExSystemError<N> &e) {
        EXPECT_EQ(e.getError(), N);
        EXPECT_EQ(std::string(e.what()), std::string("op: ") + std::strerror(N));
        return;
    } catch (...) {
    }
    ADD_FAILURE() << "no ExSystemError<" << N << ">";
}

} // namespace

TEST(SystemError, WhatJoinsMessageAndErrnoText) {
    velka::SystemError e("forkExecvPipes: fork() failed", EAGAIN);
    EXPECT_EQ(std::string(e.what()),
              std::string("forkExecvPipes: fork() failed: ") + std::strerror(EAGAIN));
    EXPECT_EQ(e.what(), e.what()); // cached

    velka::SystemError bare("", ENOENT);
    EXPECT_STREQ(bare.what(), std::strerror(ENOENT));
}

TEST(SystemError, KnownErrorsGetTheirSubclass) {
    expectSubclass<1>();
    expectSubclass<2>();
    expectSubclass<4>();
    expectSubclass<10>();
    expectSubclass<11>();
}

TEST(SystemError, OtherValuesGivePlainSystemError) {
    try {
        velka::throwSystemError("open", EACCES);
    } catch (const velka::SystemError &e) {
        EXPECT_EQ(typeid(e), typeid(velka::SystemError));
        EXPECT_EQ(e.getError(), EACCES);
    }
}

TEST(SystemError, ZeroTakesErrnoButKeepsThePlainClass) {
    bool caughtAsSubclass = false;
    try {
        try {
            errno = ENOENT;
            velka::throwSystemError("readToCallback failed", 0);
        } catch (const velka::ExSystemError<2> &) {
            caughtAsSubclass = true;
        }
    } catch (const velka::SystemError &e) {
        EXPECT_EQ(e.getError(), ENOENT);
        EXPECT_EQ(std::string(e.what()),
                  std::string("readToCallback failed: ") + std::strerror(ENOENT));
    }
    EXPECT_FALSE(caughtAsSubclass);
}
