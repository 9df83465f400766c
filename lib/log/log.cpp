// Log API: process-wide log settings and the console and syslog back-ends that
// velka_log / velka_logv point to.
#include "lib/log/velka_log.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <syslog.h>
#include <unistd.h>

extern "C" {

const char *LogLocation = nullptr;
int LogLevel = LOG_INFO;
int LogFacility = LOG_MAIL;
int LogOpts = LOG_PID;
char LogIdent[64] = "";
char LogTraceId[64] = "";
const char *PROGNAME = nullptr;

void (*velka_log)(int, const char *, ...) = _velka_utility_log;
void (*velka_logv)(int, const char *, va_list) = _velka_utility_logv;

} // extern "C"

namespace {

// Room for a message with its trace id; longer messages are cut.
constexpr size_t SYSLOG_BUFSIZE = 8192;
// Console messages up to this size are formatted without a heap allocation.
constexpr size_t CONSOLE_BUFSIZE = 4096;

const char *programShortName() {
    return program_invocation_short_name ? program_invocation_short_name : "";
}

void copyCut(char (&dst)[64], const char *src) {
    snprintf(dst, sizeof(dst), "%s", src ? src : "");
}

void writeLine(FILE *stream, const char *text) {
    fputs(text, stream);
    fputc('\n', stream);
    fflush(stream);
}

} // namespace

extern "C" {

void _velka_utility_logv(int priority, const char *format, va_list args) {
    if (priority > LogLevel)
        return;
    bool toStdout = LogLocation == nullptr || strcasecmp(LogLocation, "console") == 0;
    if (!toStdout && strcasecmp(LogLocation, "stderr") != 0)
        return;

    // Format once so that both streams carry the same text (a %m must not see the
    // errno left behind by the first write).
    char local[CONSOLE_BUFSIZE];
    char *text = local;
    va_list copy;
    va_copy(copy, args);
    int needed = vsnprintf(local, sizeof(local), format, copy);
    va_end(copy);
    if (needed < 0)
        return;
    if (static_cast<size_t>(needed) >= sizeof(local)) {
        char *grown = static_cast<char *>(malloc(static_cast<size_t>(needed) + 1));
        if (grown) {
            vsnprintf(grown, static_cast<size_t>(needed) + 1, format, args);
            text = grown;
        }
    }
    writeLine(stderr, text);
    if (toStdout)
        writeLine(stdout, text);
    if (text != local)
        free(text);
}

void _velka_utility_log(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    _velka_utility_logv(priority, format, args);
    va_end(args);
}

void _velka_utility_syslogv(int priority, const char *format, va_list args) {
    if (!(LogOpts & VELKA_LOG_OPT_TRACE_ID) || LogTraceId[0] == '\0') {
        vsyslog(priority, format, args);
        return;
    }
    char buf[SYSLOG_BUFSIZE];
    int prefix = snprintf(buf, sizeof(buf), "%s: ", LogTraceId);
    if (prefix > 0 && static_cast<size_t>(prefix) < sizeof(buf))
        vsnprintf(buf + prefix, sizeof(buf) - static_cast<size_t>(prefix), format, args);
    syslog(priority, "%s", buf);
}

void _velka_utility_syslog(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    _velka_utility_syslogv(priority, format, args);
    va_end(args);
}

void velka_log_init(const char *location, int level, int facility, int options, const char *ident) {
    LogFacility = facility;
    LogLocation = location;

    if (location) {
        velka_log = _velka_utility_log;
        velka_logv = _velka_utility_logv;
        velka_log_set_level(static_cast<unsigned int>(level));
        return;
    }

    closelog();
    LogOpts = options | LOG_PID;
    copyCut(LogIdent, ident ? ident : programShortName());

    if (LogOpts & VELKA_LOG_OPT_TRACE_ID) {
        const char *inherited = getenv("VELKA_LOG_TRACE_ID");
        if (inherited && inherited[0] != '\0') {
            copyCut(LogTraceId, inherited);
        } else {
            const char *name = programShortName();
            // An empty program name would make the id start with a NUL.
            int first = name[0] ? toupper(static_cast<unsigned char>(name[0])) : '?';
            snprintf(LogTraceId, sizeof(LogTraceId), "%c%ld", first, static_cast<long>(getpid()));
            setenv("VELKA_LOG_TRACE_ID", LogTraceId, 1);
        }
    }

    openlog(LogIdent, LogOpts & (LOG_PID | LOG_CONS | LOG_PERROR), LogFacility);
    velka_log = _velka_utility_syslog;
    velka_logv = _velka_utility_syslogv;
    velka_log_set_level(static_cast<unsigned int>(level));
}

void velka_log_set_level(unsigned int level) {
    int newLevel = static_cast<int>(level & 7u);
    if (level & VELKA_LOG_LEVEL_FROM_ENV) {
        const char *env = getenv("VELKA_LOG_LEVEL");
        if (env && env[0] >= '0' && env[0] <= '7' && env[1] == '\0' && env[0] - '0' > newLevel)
            newLevel = env[0] - '0';
    }
    LogLevel = newLevel;
    if (velka_logv == _velka_utility_syslogv)
        setlogmask(LOG_UPTO(newLevel));
}

int velka_log_get_opts(void) {
    return LogOpts;
}

} // extern "C"
