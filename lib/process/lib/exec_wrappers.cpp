// Variadic and named-program forms of the descriptor-level spawning family.
#include "lib/process/lib/fork_exec.h"

#include "lib/log/velka_log.h"
#include "lib/process/lib/exec_args.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Longest program path the named forms build, without the NUL.
constexpr size_t MAX_PATH_LENGTH = 4095;
constexpr char UTILITY_DIR[] = VELKA_PRODUCT_ROOT "/admin/sbin";

// Builds "<dir>/<name>" into path; false (after a message) when it does not fit.
bool buildPath(char (&path)[MAX_PATH_LENGTH + 1], const char *dir, const char *name) {
    const int n = snprintf(path, sizeof path, "%s/%s", dir, name);
    if (n < 0 || static_cast<size_t>(n) > MAX_PATH_LENGTH) {
        errno = 0;
        messlog2(0, 1, "Program path '%s/%s' is too long.", dir, name);
        return false;
    }
    return true;
}

// A name with a "/" could leave the utility directory.
bool isUtilityName(const char *name) {
    if (name && !strchr(name, '/'))
        return true;
    errno = 0;
    messlog2(0, 1, "Utility name '%s' is invalid. Use only utility name without path.",
             name ? name : "");
    return false;
}

int runFixed(const char *path, va_list args) {
    velka::FixedArgv fixed;
    velka::collectFixedArgs(fixed, path, args);
    return fork_execv_log(path, fixed.argv, 0);
}

// runFixed() of "<dir>/<name>"; -1 when that path does not fit.
int runFixedIn(const char *dir, const char *name, va_list args) {
    char path[MAX_PATH_LENGTH + 1];
    return buildPath(path, dir, name) ? runFixed(path, args) : -1;
}

} // namespace

extern "C" {

pid_t fork_execl_pipes(int fd_in, int fd_out, int fd_err, const char *path, ...) {
    va_list args;
    va_start(args, path);
    char **argv = velka::collectHeapArgs(args);
    va_end(args);
    const pid_t pid = fork_execv_pipes(fd_in, fd_out, fd_err, path, argv);
    free(argv);
    return pid;
}

int fork_execl_getout(char **out, const char *path, ...) {
    va_list args;
    va_start(args, path);
    char **argv = velka::collectHeapArgs(args);
    va_end(args);
    const int result = fork_execv_getout(out, path, argv);
    free(argv);
    return result;
}

int fork_execl_getouterr(char **out, char **err, const char *path, ...) {
    va_list args;
    va_start(args, path);
    char **argv = velka::collectHeapArgs(args);
    va_end(args);
    const int result = fork_execv_getouterr(out, err, path, argv);
    free(argv);
    return result;
}

int fork_execl_log(const char *path, ...) {
    va_list args;
    va_start(args, path);
    char **argv = velka::collectHeapArgs(args);
    va_end(args);
    const int result = fork_execv_log(path, argv, 0);
    free(argv);
    return result;
}

int path_exec_raw(const char *path, va_list args) {
    return runFixed(path, args);
}

int path_exec(const char *path, ...) {
    va_list args;
    va_start(args, path);
    const int result = runFixed(path, args);
    va_end(args);
    return result;
}

int util_exec(const char *name, ...) {
    va_list args;
    va_start(args, name);
    const int result = isUtilityName(name) ? runFixedIn(UTILITY_DIR, name, args) : -1;
    va_end(args);
    return result;
}

int util_exec_args(const char *name, char *const argv[]) {
    char path[MAX_PATH_LENGTH + 1];
    if (!isUtilityName(name) || !buildPath(path, UTILITY_DIR, name))
        return -1;
    return fork_execv_log(path, argv, 0);
}

int util_libexec(const char *name, ...) {
    va_list args;
    va_start(args, name);
    const int result = name ? runFixedIn(VELKA_LIBEXEC_DIR, name, args) : -1;
    va_end(args);
    return result;
}

} // extern "C"
