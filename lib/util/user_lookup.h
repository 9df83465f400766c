/* User and group lookups over the system's password and group databases.
 *
 * Failures never throw or end the process: they are reported through messlog2()
 * with status 0 and answered with 0 (or -1 for velka_getpw). Since 0 is also the
 * id of root and of the root group, callers that must tell "absent" from root use
 * get_group_if_exists() or velka_getpw().
 *
 * The lookups use getpwnam(), getpwuid(), getgrnam() and getgrgid(), whose static
 * results the next lookup overwrites; none of this is thread-safe. */
#ifndef VELKA_UTIL_USER_LOOKUP_H
#define VELKA_UTIL_USER_LOOKUP_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Looks up user name and stores its uid, gid and home directory into those out
 * pointers that are not null. *home points into the system's static password
 * entry and is valid until the next password lookup. Returns 0 when found, -1
 * (after "Unable to getpwnam for user %s") when not. */
int velka_getpw(const char *name, uid_t *uid, gid_t *gid, const char **home);

/* The user's gid when want_gid is non-zero, else the uid; 0 when the user does
 * not exist (reported by velka_getpw). */
unsigned int velka_ugid(const char *name, int want_gid);

/* The gid of a group given by name or, when all decimal digits, by number; 0 when
 * there is no such group (reported; a null or empty group is not). Afterwards
 * errno is 0 when the group was found, the system's error when the lookup failed
 * (ERANGE for a number beyond gid_t), and usually 0 when the group does not exist. */
unsigned int get_group_id(const char *group);

/* As get_group_id(); also stores 1 (found) or 0 into *exists when exists is not null. */
unsigned int get_group_if_exists(const char *group, char *exists);

/* The uid of user name, 0 (after "Unable to find uid for user %s: %s") when absent. */
unsigned int get_user_id(const char *name);

/* The name of uid, or its unsigned decimal form when it has no entry. The result
 * lives in one static buffer of 4096 bytes that the next call overwrites; longer
 * names are cut to 4095 bytes. Nothing is reported. */
const char *get_user_name(int uid);

#ifdef __cplusplus
}
#endif

#endif
