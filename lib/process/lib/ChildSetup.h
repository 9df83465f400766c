/* Child set-up shared by every way of starting a program: closing inherited
 * descriptors, moving descriptors onto the standard streams, switching user.
 *
 * closefrom() replaces the C library's function of the same name and behaves alike:
 * it walks /proc/self/fd and falls back to closing by number when that walk cannot be
 * trusted. The p_setuid family ends the process (exit status 1, after a message
 * through messlog2) on any failure; it is meant for a process about to exec. */
#ifndef VELKA_PROCESS_CHILD_SETUP_H
#define VELKA_PROCESS_CHILD_SETUP_H

#ifdef __cplusplus
#define VELKA_PROCESS_NOEXCEPT noexcept
extern "C" {
#else
#define VELKA_PROCESS_NOEXCEPT
#endif

/* Flags of p_setuid_with_flags() and _p_setuid_impl(). */
#define P_SETUID_CHDIR_HOME 1  /* chdir to the user's home directory */
#define P_SETUID_ALLOW_ROOT 2  /* accept uid 0 */
#define P_SETUID_CHROOT_HOME 4 /* chroot to the user's home directory */

/* Parses a /proc/self/fd entry name: decimal digits only, no leading zero unless the
 * name is "0", a value that fits an int. Returns 0 and stores the value into *fd_r,
 * or -1 and leaves *fd_r alone. */
int proc_pid_fd_str_to_int(const char *name, int *fd_r);

/* Closes every descriptor >= low listed in /proc/self/fd. Returns 0 when the whole
 * directory was read; -1 (some descriptors possibly closed) when it cannot be opened
 * or read, holds an unexpected entry, or has more entries than a tenth of the
 * descriptor table size (100 for tables below 1000). */
int closefrom_through_proc(int low);

/* Closes every descriptor number from the table size down to low; errno is kept. */
void closefrom_max(int low);

/* Closes every descriptor >= low: closefrom_through_proc(), else closefrom_max(). */
void closefrom(int low) VELKA_PROCESS_NOEXCEPT;

/* Switch the process to user: _p_setuid_impl() with CHDIR_HOME. Returns 0. */
int p_setuid(const char *user);
/* The same with the change of directory and the acceptance of uid 0 chosen. */
int p_setuid_ex(const char *user, int chdir_home, int allow_root);
int p_setuid_with_flags(const char *user, int flags);

/* Looks the user up, changes directory or root as flags ask, refuses uid 0 unless
 * P_SETUID_ALLOW_ROOT is given, then initgroups(), setgid(), setuid(). Returns 0;
 * any failure prints its message and ends the process with exit status 1. */
int _p_setuid_impl(const char *user, int flags);

#ifdef __cplusplus
}

/* Makes fd the descriptor target and returns target. fd -1 stands for a fresh
 * read-write descriptor on /dev/null. The source descriptor is closed unless it is
 * the target itself. Failures throw velka::SystemError "dup2Custom failed". */
int dup2Custom(int fd, int target);

namespace velka {
/* Prepares the sources of the three standard streams of a child (in, out, err; -1
 * entries are left alone) so that moving them onto 0, 1 and 2 in turn cannot
 * overwrite one still to be moved: a source in 0..2 other than its own target, or
 * repeating an earlier source, is replaced by a duplicate above 2. The originals are
 * left open; the moves and closefrom(3) dispose of them. Returns 0, or -1 with errno. */
int liftStdSources(int fds[3]);

/* _p_setuid_impl() that returns -1 after the message instead of ending the process,
 * for a forked child that must leave with _exit(). */
int switchUser(const char *user, int flags);
} // namespace velka

#endif

#endif
