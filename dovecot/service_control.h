/* Service-control runner and feature lines: runs the panel's service-control and
 * service-registration programs, and prints the status and feature-report lines
 * (PHP assignments) that the panel reads from standard output.
 *
 * The programs are run from an argument vector, never through a shell, with their
 * standard output and standard error captured; each call waits for its program. */
#ifndef VELKA_SERVICE_CONTROL_H
#define VELKA_SERVICE_CONTROL_H

#ifdef __cplusplus
extern "C" {
#endif

/* The panel's programs. */
#define VELKARC_PATH "/usr/local/vqa/admin/sbin/velkarc"
#define REGISTER_SERVICE_PATH "/usr/local/vqa/admin/sbin/register_service"

/* Runs "velkarc SERVICE ACTION". Returns the program's exit status, or -1 when it
 * cannot be run or does not exit normally. invoke_velkarc discards the program's
 * output; invoke_velkarc_keep_fail_msg, on a non-zero result, copies the captured
 * standard output to standard error and reports "PATH execution failed:\nSTDERR" (or
 * "PATH execution failed (no output)") on standard error and standard output. */
int invoke_velkarc(const char *service, const char *action);
int invoke_velkarc_keep_fail_msg(const char *service, const char *action);

/* Runs "register_service --enable SERVICE" (or --disable) quietly; returns its exit
 * status, or -1 as above. */
int enable_service(const char *service);
int disable_service(const char *service);

/* Prints "is stopped" (stopped non-zero) or "is running" and a line feed on standard
 * output; returns 0. */
int print_status(int stopped);

/* Prints "$features['KEY'] = VALUE;" on standard output, VALUE bare when it is exactly
 * "true" or "false" and in double quotes otherwise. Nothing is escaped. Returns
 * printf's result. */
int print_feature(const char *key, const char *value);

/* Prints "$features['KEY'] = array('K1'=>'V1','K2'=>'V2',);" on one line for the first
 * count pairs (none for count <= 0). Nothing is escaped. Returns 0, or -1 when
 * standard output reports an error. */
int print_feature_array(const char *key, int count, const char *const pairs[][2]);

/* Points the runner at other programs (null keeps the current one); for embedding
 * callers and tests. Both start as VELKARC_PATH and REGISTER_SERVICE_PATH. The strings
 * are copied. */
void set_service_control_paths(const char *velkarc, const char *register_service);

#ifdef __cplusplus
}
#endif

#endif
