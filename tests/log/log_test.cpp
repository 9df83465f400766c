// Log API: console back-end routing and filtering, level rules, syslog-mode globals.
#include "lib/log/velka_log.h"
#include "tests/support/test_common.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <regex>
#include <stdlib.h>
#include <string>
#include <syslog.h>
#include <unistd.h>

using velka_test::runInChild;

namespace {

int logTwoLines() {
    velka_log(LOG_INFO, "info %d", 6);
    velka_log(LOG_DEBUG, "debug %s", "7");
    return 0;
}

} // namespace

TEST(ConsoleLog, InitialStateWritesToBothStreams) {
    auto r = runInChild(logTwoLines);
    EXPECT_EQ(r.err, "info 6\n");
    EXPECT_EQ(r.out, "info 6\n");
}

TEST(ConsoleLog, LocationSelectsStreams) {
    struct Case {
        const char *location;
        bool toErr, toOut;
    } cases[] = {{"stderr", true, false},
                 {"StdErr", true, false},
                 {"console", true, true},
                 {"CONSOLE", true, true},
                 {"/var/log/wendra.log", false, false},
                 {"", false, false}};
    for (const Case &c : cases) {
        auto r = runInChild([&] {
            velka_log_init(c.location, LOG_INFO, LOG_MAIL, 0, nullptr);
            return logTwoLines();
        });
        EXPECT_EQ(r.err, c.toErr ? "info 6\n" : "") << c.location;
        EXPECT_EQ(r.out, c.toOut ? "info 6\n" : "") << c.location;
    }
}

TEST(ConsoleLog, LevelFiltersAndLongMessagesSurvive) {
    std::string longText(10000, 'x');
    auto r = runInChild([&] {
        velka_log_init("stderr", LOG_WARNING, LOG_MAIL, 0, nullptr);
        velka_log(LOG_NOTICE, "dropped");
        velka_log(LOG_ERR, "%s", longText.c_str());
        errno = ENOENT;
        velka_log(LOG_WARNING, "kept: %m");
        return LogLevel;
    });
    EXPECT_EQ(r.exitCode, LOG_WARNING);
    EXPECT_EQ(r.err, longText + "\nkept: " + strerror(ENOENT) + "\n");
}

TEST(LogLevel, EnvironmentRaisesOnlyWhenAsked) {
    struct Case {
        const char *env;
        unsigned level;
        int expected;
    } cases[] = {
        {"7", 6 | VELKA_LOG_LEVEL_FROM_ENV, 7},
        {"7", 6, 6},
        {"9", 6 | VELKA_LOG_LEVEL_FROM_ENV, 6},
        {"12", 6 | VELKA_LOG_LEVEL_FROM_ENV, 6},
        {"3", 6 | VELKA_LOG_LEVEL_FROM_ENV, 6},
        {"", 6 | VELKA_LOG_LEVEL_FROM_ENV, 6},
        {"5", 2 | VELKA_LOG_LEVEL_FROM_ENV, 5},
        {nullptr, 3 | VELKA_LOG_LEVEL_FROM_ENV, 3},
        {"7", 0x1f, 7},
        {nullptr, 0x1f, 7},
    };
    for (const Case &c : cases) {
        auto r = runInChild([&] {
            if (c.env)
                setenv("VELKA_LOG_LEVEL", c.env, 1);
            else
                unsetenv("VELKA_LOG_LEVEL");
            velka_log_set_level(c.level);
            return LogLevel;
        });
        EXPECT_EQ(r.exitCode, c.expected) << (c.env ? c.env : "(unset)") << " level " << c.level;
    }
}

TEST(SyslogMode, SetsGlobalsAndPriorityMask) {
    std::string longIdent(100, 'i');
    auto r = runInChild([&] {
        unsetenv("VELKA_LOG_TRACE_ID");
        velka_log_init(nullptr, LOG_NOTICE, LOG_MAIL, 0, longIdent.c_str());
        bool ok = velka_log == _velka_utility_syslog && velka_logv == _velka_utility_syslogv &&
                  LogLocation == nullptr && LogFacility == LOG_MAIL &&
                  velka_log_get_opts() == LOG_PID &&
                  std::string(LogIdent) == longIdent.substr(0, 63) && LogTraceId[0] == '\0' &&
                  getenv("VELKA_LOG_TRACE_ID") == nullptr && setlogmask(0) == LOG_UPTO(LOG_NOTICE);
        // Console mode again: the syslog mask is no longer touched.
        velka_log_init("console", LOG_DEBUG, LOG_MAIL, 0, nullptr);
        ok = ok && velka_log == _velka_utility_log && setlogmask(0) == LOG_UPTO(LOG_NOTICE);
        return ok ? 0 : 1;
    });
    EXPECT_EQ(r.exitCode, 0);
}

TEST(SyslogMode, DefaultIdentIsProgramName) {
    auto r = runInChild([] {
        program_invocation_short_name = const_cast<char *>("wendra");
        velka_log_init(nullptr, LOG_INFO, LOG_MAIL, 0, nullptr);
        return std::string(LogIdent) == "wendra" ? 0 : 1;
    });
    EXPECT_EQ(r.exitCode, 0);
}

TEST(SyslogMode, TraceIdMadeFromProgramAndPidAndExported) {
    auto r = runInChild([] {
        unsetenv("VELKA_LOG_TRACE_ID");
        program_invocation_short_name = const_cast<char *>("wendra");
        velka_log_init(nullptr, LOG_INFO, LOG_MAIL, VELKA_LOG_OPT_TRACE_ID, "wendra");
        std::string expected = "W" + std::to_string(getpid());
        const char *exported = getenv("VELKA_LOG_TRACE_ID");
        bool ok = LogTraceId == expected && exported && exported == expected &&
                  velka_log_get_opts() == (VELKA_LOG_OPT_TRACE_ID | LOG_PID);
        return ok ? 0 : 1;
    });
    EXPECT_EQ(r.exitCode, 0);
}

TEST(SyslogMode, InheritedTraceIdIsKeptAndCut) {
    std::string inherited(80, 'T');
    auto r = runInChild([&] {
        setenv("VELKA_LOG_TRACE_ID", inherited.c_str(), 1);
        velka_log_init(nullptr, LOG_INFO, LOG_MAIL, VELKA_LOG_OPT_TRACE_ID, "wendra");
        bool ok =
            LogTraceId == inherited.substr(0, 63) && getenv("VELKA_LOG_TRACE_ID") == inherited;
        return ok ? 0 : 1;
    });
    EXPECT_EQ(r.exitCode, 0);
}

// LOG_PERROR makes the C library echo each message on standard error, so the
// trace-id prefix and the level mask are visible without a syslog daemon.
TEST(SyslogMode, PerrorEchoShowsTraceIdAndMask) {
    auto r = runInChild([&] {
        unsetenv("VELKA_LOG_TRACE_ID");
        program_invocation_short_name = const_cast<char *>("wendra");
        velka_log_init(nullptr, LOG_INFO, LOG_MAIL, LOG_PERROR | VELKA_LOG_OPT_TRACE_ID, "wendra");
        velka_log(LOG_ERR, "failed %d", 5);
        velka_log(LOG_DEBUG, "hidden");
        return 0;
    });
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_TRUE(std::regex_match(r.err, std::regex("wendra\\[([0-9]+)\\]: W\\1: failed 5\n")))
        << r.err;
    EXPECT_EQ(r.out, "");
}
