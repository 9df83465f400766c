// Message-and-exit functions: print a message (with the system error text) on
// standard error and standard output, and end the process for a non-zero status.
#include "lib/log/velka_log.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// First try; longer messages get a buffer of their exact size.
constexpr size_t MESSAGE_BUFSIZE = 4096;

void writeMessage(FILE *stream, const char *prefix, const char *text) {
    if (prefix) {
        fputs(prefix, stream);
        fputs(": ", stream);
    }
    fputs(text, stream);
    size_t len = strlen(text);
    if (len == 0 || text[len - 1] != '\n')
        fputc('\n', stream);
    fflush(stream);
}

} // namespace

extern "C" {

int ex_messlog(const char *text, int status) {
    const char *prefix = nullptr;
    if (PROGNAME) {
        const char *slash = strrchr(PROGNAME, '/');
        prefix = slash ? slash + 1 : PROGNAME;
    }
    if (!text)
        text = "";
    writeMessage(stderr, prefix, text);
    writeMessage(stdout, prefix, text);
    if (status != 0)
        exit(status);
    return 0;
}

int vmesslog2(int status, int flag, const char *format, va_list args) {
    (void)flag;
    int savedErrno = errno;

    size_t size = MESSAGE_BUFSIZE;
    char *buf = static_cast<char *>(malloc(size));
    if (!buf)
        return ex_messlog("Can't allocate memory for error message", status);

    va_list copy;
    va_copy(copy, args);
    int needed = vsnprintf(buf, size, format, copy);
    va_end(copy);
    if (needed < 0) {
        buf[0] = '\0';
        needed = 0;
    }
    size_t len = static_cast<size_t>(needed);
    if (len >= size) {
        char *grown = static_cast<char *>(realloc(buf, len + 1));
        if (grown) {
            buf = grown;
            size = len + 1;
            vsnprintf(buf, size, format, args);
        } else {
            len = size - 1; // keep the message cut to the first buffer
        }
    }

    errno = savedErrno;
    if (savedErrno != 0 && len < MESSAGE_BUFSIZE) {
        char suffix[128];
        int slen = snprintf(suffix, sizeof(suffix), "\nSystem error %d: %s", savedErrno,
                            strerror(savedErrno));
        if (slen > 0 && len + static_cast<size_t>(slen) < MESSAGE_BUFSIZE &&
            len + static_cast<size_t>(slen) < size)
            memcpy(buf + len, suffix, static_cast<size_t>(slen) + 1);
    }

    ex_messlog(buf, status);
    free(buf);
    return 0;
}

int messlog2(int status, int flag, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int rc = vmesslog2(status, flag, format, args);
    va_end(args);
    return rc;
}

} // extern "C"
