// Captures what the code under test logs through velka_log, in order, for the
// lifetime of a LogCapture.
#ifndef VELKA_TESTS_LOG_LOG_CAPTURE_H
#define VELKA_TESTS_LOG_LOG_CAPTURE_H

#include "lib/log/velka_log.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

struct LogLine {
    int priority;
    std::string text;

    bool operator==(const LogLine &other) const {
        return priority == other.priority && text == other.text;
    }
};

// Redirects velka_log into a list for the lifetime of the object.
class LogCapture {
public:
    LogCapture() : saved_(velka_log) {
        lines().clear();
        velka_log = &LogCapture::record;
    }
    ~LogCapture() { velka_log = saved_; }

    static std::vector<LogLine> &lines() {
        static std::vector<LogLine> captured;
        return captured;
    }

    bool contains(int priority, const std::string &text) const {
        for (const LogLine &line : lines())
            if (line.priority == priority && line.text == text)
                return true;
        return false;
    }

private:
    static void record(int priority, const char *format, ...) {
        char buf[8192];
        va_list args;
        va_start(args, format);
        vsnprintf(buf, sizeof buf, format, args);
        va_end(args);
        lines().push_back({priority, buf});
    }

    decltype(velka_log) saved_;
};

#endif
