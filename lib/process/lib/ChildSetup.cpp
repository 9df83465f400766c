// Child set-up: closing inherited descriptors, moving descriptors onto the standard
// streams and switching the process to another user.
#include "lib/process/lib/ChildSetup.h"

#include "lib/errors/SystemError.h"
#include "lib/log/velka_log.h"
#include "lib/util/user_lookup.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

namespace {

__attribute__((format(printf, 1, 2))) int fail(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vmesslog2(0, 1, format, args);
    va_end(args);
    return -1;
}

} // namespace

extern "C" {

int proc_pid_fd_str_to_int(const char *name, int *fd_r) {
    if (!name || *name == '\0' || (name[0] == '0' && name[1] != '\0'))
        return -1;
    long long value = 0;
    for (const char *p = name; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return -1;
        value = value * 10 + (*p - '0');
        if (value > INT_MAX)
            return -1;
    }
    *fd_r = static_cast<int>(value);
    return 0;
}

int closefrom_through_proc(int low) {
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    const int ownFd = dirfd(dir);
    const int limit = getdtablesize();
    // A table far fuller than usual is closed by number instead: cheaper than a walk
    // that might be cut short anyway.
    int budget = limit >= 1000 ? limit / 10 : 100;
    bool complete = false;
    bool sawOwn = false;
    for (;;) {
        errno = 0;
        struct dirent *entry = readdir(dir);
        if (!entry) {
            complete = errno == 0;
            break;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        int fd;
        if (proc_pid_fd_str_to_int(entry->d_name, &fd) != 0 || fd >= limit || budget == 0)
            break;
        --budget;
        if (fd == ownFd)
            sawOwn = true;
        else if (fd >= low)
            close(fd);
    }
    closedir(dir);
    return complete && sawOwn ? 0 : -1;
}

void closefrom_max(int low) {
    const int savedErrno = errno;
    if (low < 0)
        low = 0;
    for (int fd = getdtablesize(); fd >= low; --fd)
        close(fd);
    errno = savedErrno;
}

void closefrom(int low) noexcept {
    const int savedErrno = errno;
    if (closefrom_through_proc(low) != 0)
        closefrom_max(low);
    errno = savedErrno;
}

int _p_setuid_impl(const char *user, int flags) {
    if (velka::switchUser(user, flags) != 0)
        exit(1);
    return 0;
}

int p_setuid_with_flags(const char *user, int flags) {
    return _p_setuid_impl(user, flags);
}

int p_setuid_ex(const char *user, int chdir_home, int allow_root) {
    return _p_setuid_impl(user, (allow_root ? P_SETUID_ALLOW_ROOT : 0) |
                                    (chdir_home ? P_SETUID_CHDIR_HOME : 0));
}

int p_setuid(const char *user) {
    return p_setuid_ex(user, 1, 0);
}

} // extern "C"

int dup2Custom(int fd, int target) {
    if (fd == target)
        return target;
    if (fd == -1) {
        fd = open("/dev/null", O_RDWR);
        if (fd < 0)
            velka::throwSystemError("dup2Custom failed", errno);
        // The lowest free number may be the target itself.
        if (fd == target)
            return target;
    }
    const int result = dup2(fd, target);
    const int dupErrno = errno;
    close(fd);
    if (result < 0)
        velka::throwSystemError("dup2Custom failed", dupErrno);
    return result;
}

namespace velka {

int liftStdSources(int fds[3]) {
    for (int i = 0; i < 3; ++i) {
        if (fds[i] < 0)
            continue;
        bool repeated = false;
        for (int j = 0; j < i; ++j)
            repeated = repeated || fds[j] == fds[i];
        if (!repeated && (fds[i] > 2 || fds[i] == i))
            continue;
        const int copy = fcntl(fds[i], F_DUPFD, 3);
        if (copy < 0)
            return -1;
        fds[i] = copy;
    }
    return 0;
}

int switchUser(const char *user, int flags) {
    if (!user)
        user = "";
    uid_t uid = 0;
    gid_t gid = 0;
    const char *home = nullptr; // in the static password entry: used before initgroups()
    if (velka_getpw(user, &uid, &gid, &home) != 0)
        return fail("User '%s' not found", user);
    if (!home)
        home = "";
    if ((flags & P_SETUID_CHDIR_HOME) && chdir(home) != 0)
        return fail("Cannot chdir to '%s' homedir '%s'", user, home);
    if (flags & P_SETUID_CHROOT_HOME) {
        // Without the chdir a working directory outside the new root stays reachable.
        if (chroot(home) != 0 || chdir("/") != 0)
            return fail("Cannot chroot to '%s' homedir '%s'", user, home);
    }
    if (uid == 0 && !(flags & P_SETUID_ALLOW_ROOT)) {
        errno = 0;
        return fail("Cannot run as forbidden uid: %d\n", 0);
    }
    if (initgroups(user, gid) != 0)
        return fail("Unable to init new groups for user '%s': %s", user, std::strerror(errno));
    if (setgid(gid) != 0)
        return fail("Failed to setgid: %d\n", static_cast<int>(gid));
    if (setuid(uid) != 0)
        return fail("Failed to setuid: %d\n", static_cast<int>(uid));
    return 0;
}

} // namespace velka
