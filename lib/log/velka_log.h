/* Logging API shared by wendra and libauthdb_velka: prioritised messages to syslog
 * or to the console, and the message-and-exit functions.
 *
 * Each deliverable links its own copy; the globals below are process-wide, set once
 * at start-up by velka_log_init() and never locked. */
#ifndef VELKA_LOG_H
#define VELKA_LOG_H

#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VELKA_LOG_OPT_TRACE_ID 64  /* own option bit: prefix syslog messages with the trace id */
#define VELKA_LOG_LEVEL_FROM_ENV 8 /* level bit: let VELKA_LOG_LEVEL raise the level */

extern const char *LogLocation; /* null: syslog mode; else console mode ("console" or "stderr") */
extern int LogLevel;            /* highest priority still written, 0..7 */
extern int LogFacility;         /* syslog facility code */
extern int LogOpts;             /* openlog() options plus VELKA_LOG_OPT_TRACE_ID */
extern char LogIdent[64];
extern char LogTraceId[64];
extern const char *PROGNAME; /* program name prefixed by ex_messlog(); nothing sets it */

/* The logging entry points; they never report failure to the caller. */
extern void (*velka_log)(int priority, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
extern void (*velka_logv)(int priority, const char *format, va_list args)
    __attribute__((format(printf, 2, 0)));

/* The back-ends velka_log and velka_logv point to. Console: writes to standard error,
 * and to standard output when LogLocation is null or "console"; drops priorities above
 * LogLevel and every message for any other location. Syslog: prefixes the trace id when
 * VELKA_LOG_OPT_TRACE_ID is set and leaves filtering to the syslog priority mask. */
void _velka_utility_log(int priority, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void _velka_utility_logv(int priority, const char *format, va_list args)
    __attribute__((format(printf, 2, 0)));
void _velka_utility_syslog(int priority, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void _velka_utility_syslogv(int priority, const char *format, va_list args)
    __attribute__((format(printf, 2, 0)));

/* Selects syslog (location null) or console mode and sets the globals. In syslog mode
 * LOG_PID is always added, ident defaults to the program's short name, and with
 * VELKA_LOG_OPT_TRACE_ID the trace id comes from VELKA_LOG_TRACE_ID or is made up as
 * the program name's upper-cased initial plus the pid and exported for children.
 * May be called again; syslog is then closed and reopened. */
void velka_log_init(const char *location, int level, int facility, int options, const char *ident);
/* Low three bits: the level; VELKA_LOG_LEVEL_FROM_ENV lets VELKA_LOG_LEVEL raise it. */
void velka_log_set_level(unsigned int level);
int velka_log_get_opts(void);

/* Print the message, followed by "\nSystem error N: text" when errno was non-zero at
 * the call and both fit in 4095 characters, on standard error and standard output;
 * a non-zero status then ends the process with exit(status), otherwise they return 0.
 * flag is accepted for callers' sake and changes nothing. */
int messlog2(int status, int flag, const char *format, ...) __attribute__((format(printf, 3, 4)));
int vmesslog2(int status, int flag, const char *format, va_list args)
    __attribute__((format(printf, 3, 0)));
/* Print text (prefixed by PROGNAME's last component and ": " when PROGNAME is set),
 * with a newline unless it ends in one, on standard error then standard output;
 * exit(status) for a non-zero status, else return 0. */
int ex_messlog(const char *text, int status);

#ifdef __cplusplus
}
#endif

#endif
