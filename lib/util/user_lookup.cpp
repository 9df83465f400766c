// User and group lookups with fixed fallbacks and messages.
#include "lib/util/user_lookup.h"

#include "lib/log/velka_log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <grp.h>
#include <pwd.h>

namespace {

constexpr size_t USER_NAME_BUFFER_SIZE = 4096;
char user_name_buffer[USER_NAME_BUFFER_SIZE];

const char *errorText(int err, const char *absent) {
    return err != 0 ? std::strerror(err) : absent;
}

bool allDigits(const char *s) {
    for (; *s != '\0'; ++s)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

// Reports through messlog2() without letting the printing disturb the errno that
// callers inspect after a failed lookup.
__attribute__((format(printf, 1, 2))) void report(const char *format, ...) {
    int saved_errno = errno;
    va_list args;
    va_start(args, format);
    vmesslog2(0, 0, format, args);
    va_end(args);
    errno = saved_errno;
}

struct group *lookupGroupById(const char *group) {
    // Numbers that do not fit a gid_t must not wrap around onto another group
    // (4294967296 would otherwise name the root group).
    unsigned long long value = std::strtoull(group, nullptr, 10);
    if (errno == ERANGE || value > std::numeric_limits<gid_t>::max()) {
        errno = ERANGE;
        report("getgrgid(%s): %s", group, std::strerror(errno));
        return nullptr;
    }
    gid_t gid = static_cast<gid_t>(value);
    struct group *entry = getgrgid(gid);
    if (entry == nullptr)
        report("getgrgid(%u): %s", static_cast<unsigned int>(gid),
               errorText(errno, "Group not found"));
    return entry;
}

struct group *lookupGroupByName(const char *group) {
    struct group *entry = getgrnam(group);
    if (entry == nullptr)
        report("getgrnam(%s): %s", group, errorText(errno, "Group not found"));
    return entry;
}

// A group given only in decimal digits is a number; anything else is a name.
struct group *lookup_group(const char *group) {
    if (group == nullptr || *group == '\0')
        return nullptr;
    errno = 0;
    struct group *entry = allDigits(group) ? lookupGroupById(group) : lookupGroupByName(group);
    if (entry != nullptr)
        errno = 0; // a successful lookup may leave a stray errno behind
    return entry;
}

const char *printable(const char *name) {
    return name != nullptr ? name : "(null)";
}

} // namespace

extern "C" {

int velka_getpw(const char *name, uid_t *uid, gid_t *gid, const char **home) {
    errno = 0;
    struct passwd *pw = name != nullptr ? getpwnam(name) : nullptr;
    if (pw == nullptr) {
        report("Unable to getpwnam for user %s", printable(name));
        return -1;
    }
    if (uid != nullptr)
        *uid = pw->pw_uid;
    if (gid != nullptr)
        *gid = pw->pw_gid;
    if (home != nullptr)
        *home = pw->pw_dir;
    return 0;
}

unsigned int velka_ugid(const char *name, int want_gid) {
    uid_t uid = 0;
    gid_t gid = 0;
    if (velka_getpw(name, want_gid ? nullptr : &uid, want_gid ? &gid : nullptr, nullptr) != 0)
        return 0;
    return want_gid ? gid : uid;
}

unsigned int get_group_id(const char *group) {
    struct group *entry = lookup_group(group);
    return entry != nullptr ? entry->gr_gid : 0;
}

unsigned int get_group_if_exists(const char *group, char *exists) {
    struct group *entry = lookup_group(group);
    if (exists != nullptr)
        *exists = entry != nullptr ? 1 : 0;
    return entry != nullptr ? entry->gr_gid : 0;
}

unsigned int get_user_id(const char *name) {
    errno = 0;
    struct passwd *pw = name != nullptr ? getpwnam(name) : nullptr;
    if (pw == nullptr) {
        report("Unable to find uid for user %s: %s", printable(name),
               errorText(errno, "User not found"));
        return 0;
    }
    return pw->pw_uid;
}

const char *get_user_name(int uid) {
    struct passwd *pw = getpwuid(static_cast<uid_t>(uid));
    if (pw != nullptr)
        std::snprintf(user_name_buffer, sizeof user_name_buffer, "%s", pw->pw_name);
    else
        std::snprintf(user_name_buffer, sizeof user_name_buffer, "%u",
                      static_cast<unsigned int>(uid));
    return user_name_buffer;
}

} // extern "C"
