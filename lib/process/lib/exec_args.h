// Argument vectors built from variadic argument lists, for the C-style spawning forms.
#ifndef VELKA_PROCESS_LIB_EXEC_ARGS_H
#define VELKA_PROCESS_LIB_EXEC_ARGS_H

#include "lib/log/velka_log.h"
#include "lib/process/lib/fork_exec.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include <errno.h>

namespace velka {

// Room for the path, VELKA_EXEC_MAX_ARGS arguments and the closing null.
struct FixedArgv {
    char *argv[VELKA_EXEC_MAX_ARGS + 2];
};

// argv = path, then the arguments of args up to the first null, at most
// VELKA_EXEC_MAX_ARGS of them; further ones are not read.
inline void collectFixedArgs(FixedArgv &fixed, const char *path, va_list args) {
    fixed.argv[0] = const_cast<char *>(path);
    int i = 1;
    for (; i <= VELKA_EXEC_MAX_ARGS; ++i) {
        char *arg = va_arg(args, char *);
        if (!arg)
            break;
        fixed.argv[i] = arg;
    }
    fixed.argv[i] = nullptr;
}

// A malloc'ed copy of the pointers of args up to and including the first null (the
// strings themselves are not copied); the caller frees it. Allocation failure is fatal.
inline char **collectHeapArgs(va_list args) {
    va_list counting;
    va_copy(counting, args);
    size_t count = 1;
    while (va_arg(counting, char *))
        ++count;
    va_end(counting);
    char **argv = static_cast<char **>(malloc(count * sizeof(char *)));
    if (!argv)
        messlog2(1, 1, "malloc() failed: %s", strerror(errno));
    for (size_t i = 0; i < count; ++i)
        argv[i] = va_arg(args, char *);
    return argv;
}

} // namespace velka

#endif
