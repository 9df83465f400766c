// What the fuzz targets share: the check that turns a broken promise into a crash
// libFuzzer reports, and a log back-end that formats every line but prints nothing.
#ifndef VELKA_FUZZ_FUZZ_SUPPORT_H
#define VELKA_FUZZ_FUZZ_SUPPORT_H

#include <cstdarg>
#include <cstdio>

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition))                                                                          \
            __builtin_trap();                                                                      \
    } while (0)

namespace velka_fuzz {

// Formats every line, so that a bad argument list still shows, but prints nothing.
inline void quietLog(int, const char *format, ...) {
    char line[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
}

} // namespace velka_fuzz

#endif
