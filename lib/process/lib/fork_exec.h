/* Descriptor-level spawning: runs programs from argument vectors with descriptors,
 * pipes or a shell, captures their output into heap buffers. The whole-stream readers
 * of the family (get_stream_contents() and its kin) come with it from their own unit.
 *
 * Conventions of the family:
 * - argv is a null-terminated array whose element 0 is the program name; paths are
 *   executed as given (no PATH search). The popen functions run a command text
 *   with "/bin/sh -c", as popen() does. Variadic forms take the arguments up to a
 *   terminating null.
 * - Children get exactly the descriptors 0, 1 and 2; everything else is closed.
 * - A program that cannot be executed ends its child with exit status 255, after a
 *   message on the child's standard error.
 * - Results are the exit status (0 to 255), or -1 when the child was killed or
 *   stopped by a signal or the run failed (after a message through messlog2 or on
 *   standard error). Fatal set-up failures (pipe, fork, memory) print their message
 *   and end the process with exit status 1.
 * - Returned buffers are malloc'ed and NUL-terminated; the caller frees them.
 * - Every child is reaped by the call that started it, except the pid returned by the
 *   *_pipes functions, which the caller waits for (fork_exec_waitpid). A child found
 *   stopped is killed and reaped, so that none is left behind.
 * - None of this is thread-safe; do_exec() keeps the last status process-wide. */
#ifndef VELKA_PROCESS_FORK_EXEC_H
#define VELKA_PROCESS_FORK_EXEC_H

#include "lib/files/stream_contents.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Arguments the fixed-size variadic forms take after the path. */
#define VELKA_EXEC_MAX_ARGS 99
/* Home of the panel's utilities (util_exec) and helper programs (util_libexec). */
#define VELKA_PRODUCT_ROOT "/usr/local/vqa"
#define VELKA_LIBEXEC_DIR "/usr/lib64/velka-9.0"

/* Forks; the child gets fd_in, fd_out, fd_err as its standard streams (-1: /dev/null,
 * a descriptor equal to its target stays) and execs path. Returns the child's pid. */
pid_t fork_execv_pipes(int fd_in, int fd_out, int fd_err, const char *path, char *const argv[]);
pid_t fork_execl_pipes(int fd_in, int fd_out, int fd_err, const char *path,
                       ... /* argv0, ..., NULL */);

/* Runs path with its standard output captured into *out (null if the pipe never
 * became readable); standard input and standard error are inherited. */
int fork_execv_getout(char **out, const char *path, char *const argv[]);
int fork_execl_getout(char **out, const char *path, ... /* argv0, ..., NULL */);

/* Runs path with standard output and standard error captured into *out and *err
 * (each null if its pipe never became readable); standard input is inherited. Returns
 * once both pipes are at end of stream and the child is reaped, or once the child has
 * ended and no output came for a second: a grandchild that keeps the pipes open does
 * not hold the caller (its later output is lost). errno is 0 afterwards unless waiting
 * failed. */
int fork_execv_getouterr(char **out, char **err, const char *path, char *const argv[]);
int fork_execl_getouterr(char **out, char **err, const char *path, ... /* argv0, ..., NULL */);

/* fork_execv_getouterr(); on a non-zero result and quiet 0 the captured standard
 * output goes to standard error and "<path> execution failed:\n<stderr>" (or
 * "<path> execution failed (no output)") is reported. The buffers are freed. */
int fork_execv_log(const char *path, char *const argv[], int quiet);
int fork_execl_log(const char *path, ... /* argv0, ..., NULL */);

/* fork_execv_log() of path with argv = path and at most 99 further arguments. */
int path_exec(const char *path, ... /* NULL */);
int path_exec_raw(const char *path, va_list args);

/* The panel utility VELKA_PRODUCT_ROOT/admin/sbin/<name>, run like path_exec().
 * A name holding "/" or making a path of 4096 characters or more is refused with a
 * message and -1, without forking. */
int util_exec(const char *name, ... /* NULL */);
int util_exec_args(const char *name, char *const argv[]);
/* VELKA_LIBEXEC_DIR/<name>, run like path_exec(); an over-long path is refused. */
int util_libexec(const char *name, ... /* NULL */);

/* Runs path with fd_in and fd_out as its standard input and output; each piece of
 * its standard error is reported through messlog2. fd_in 0 or fd_out 1 are refused
 * (-1). */
int fork_execv_fd(int fd_in, int fd_out, const char *path, char *const argv[]);

/* Waits for pid (name, null for "<unknown>", appears in the log lines) and logs an
 * abnormal end through velka_log. The raw status goes to *status when status is not
 * null. Returns the exit status, or -1. */
int fork_exec_waitpid(pid_t pid, const char *name, int *status);
/* -1 for pid -1, else fork_exec_waitpid(pid, name, NULL). */
int fork_exec_getres(pid_t pid, const char *name);

/* Runs path (at most 99 further arguments) with /dev/null as its standard streams.
 * Returns the exit status, or 1 when the child ended by a signal, -1 when it could not
 * be waited for. */
int fork_execv(const char *path, ... /* NULL */);
/* Runs path with the caller's standard streams; returns the raw wait status (also in
 * chstatus), -1 when the child could not be waited for. */
int do_exec(const char *path, char *const argv[]);

/* Runs command through the shell and stores its standard output, NUL-terminated, into
 * *out (null on failure). Returns the exit status, or -1 (the pipe, fork or wait failed, or
 * the command ended by a signal). The shell's standard input and standard error are
 * the caller's. */
int popen_exec_getoutput(char **out, const char *command);
/* popen_exec_getoutput() with failures and non-zero codes reported. */
int popen_exec(const char *command);
/* Writes input to the standard input of command. A command that stops reading early
 * does not kill the caller with SIGPIPE; the shortfall is reported and -1 returned. */
int popen_exec_with_input(const char *command, const char *input);

/* In a child about to exec: moves in, out and err onto 0, 1 and 2 (a descriptor that
 * a later move still needs is duplicated first) and closes every descriptor above 2.
 * Returns 0, or -1 with errno when a move failed. */
int prepare_fds_to_exec(int in, int out, int err);

#ifdef __cplusplus
}
#endif

#endif
