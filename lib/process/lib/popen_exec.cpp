// Shell commands run with their output or input on a stream.
#include "lib/process/lib/fork_exec.h"

#include "lib/log/velka_log.h"
#include "lib/process/lib/SigpipeBlock.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <stdio_ext.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// popen output: a first buffer of one page plus the NUL, grown a page at a time.
constexpr size_t POPEN_FIRST_SIZE = 4097;
constexpr size_t POPEN_GROW_STEP = 4096;

struct Command {
    FILE *stream;
    pid_t pid;
};

// popen() without its descriptor leak: the shell gets 0, 1 and 2 only, one of them
// the pipe. False when the pipe, the stream or the fork cannot be had.
bool openCommand(Command &cmd, const char *command, bool forReading) {
    int p[2];
    if (!command || pipe(p) != 0)
        return false;
    const int parentEnd = forReading ? p[0] : p[1];
    const int childEnd = forReading ? p[1] : p[0];
    FILE *stream = fdopen(parentEnd, forReading ? "r" : "w");
    if (!stream) {
        close(p[0]);
        close(p[1]);
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        fclose(stream);
        close(childEnd);
        return false;
    }
    if (pid == 0) {
        __fpurge(stdout);
        if (prepare_fds_to_exec(forReading ? 0 : childEnd, forReading ? childEnd : 1, 2) == 0)
            execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
        _exit(127);
    }
    close(childEnd);
    cmd.stream = stream;
    cmd.pid = pid;
    return true;
}

// pclose(): the raw wait status, or -1.
int closeCommand(Command &cmd) {
    fclose(cmd.stream);
    int status = 0;
    pid_t r;
    while ((r = waitpid(cmd.pid, &status, 0)) < 0 && errno == EINTR) {
    }
    return r < 0 ? -1 : status;
}

int exitStatusOf(int status) {
    return status < 0 || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
}

// Reads what is left so that the command can finish normally instead of meeting a
// closed pipe.
void drain(FILE *stream) {
    char scratch[POPEN_GROW_STEP];
    while (fread(scratch, 1, sizeof scratch, stream) > 0) {
    }
}

} // namespace

extern "C" {

int popen_exec_getoutput(char **out, const char *command) {
    *out = nullptr;
    Command cmd;
    if (!openCommand(cmd, command, true)) {
        fputs("popen_exec: failed to execute command: fork or pipe calls failed, or cannot "
              "allocate memory\n",
              stderr);
        return -1;
    }
    size_t cap = POPEN_FIRST_SIZE;
    size_t len = 0;
    char *buf = static_cast<char *>(malloc(cap));
    if (!buf) {
        fputs("popen_exec: failed to allocate memory\n", stderr);
        closeCommand(cmd);
        return -1;
    }
    for (;;) {
        if (len + 1 == cap) {
            char *grown = cap <= SIZE_MAX - POPEN_GROW_STEP
                              ? static_cast<char *>(realloc(buf, cap + POPEN_GROW_STEP))
                              : nullptr;
            if (!grown) {
                fputs("popen_exec: warning: failed to allocate memory for command output buffer\n",
                      stderr);
                drain(cmd.stream);
                len = 0;
                break;
            }
            buf = grown;
            cap += POPEN_GROW_STEP;
        }
        const size_t n = fread(buf + len, 1, cap - len - 1, cmd.stream);
        len += n;
        if (n == 0 || feof(cmd.stream) || ferror(cmd.stream))
            break;
    }
    buf[len] = '\0';
    *out = buf;
    return exitStatusOf(closeCommand(cmd));
}

int popen_exec(const char *command) {
    char *out = nullptr;
    const int code = popen_exec_getoutput(&out, command);
    if (code == -1)
        messlog2(0, 1, "popen_exec: failed to execute command: %s\n", strerror(errno));
    else if (code != 0) {
        errno = 0; // a failing command is no system error
        messlog2(0, 1, "popen_exec: command failed code: %d , %s\n", code,
                 out && *out ? out : "error: none");
    }
    free(out);
    return code;
}

int popen_exec_with_input(const char *command, const char *input) {
    Command cmd;
    if (!openCommand(cmd, command, false)) {
        messlog2(
            0, 1,
            "Failed to execute command with input: either pipe, fork or memory allocation failed.");
        return -1;
    }
    // Unbuffered, so that the count fwrite() returns is what reached the command.
    setvbuf(cmd.stream, nullptr, _IONBF, 0);
    const size_t total = input ? strlen(input) : 0;
    size_t written;
    int writeErrno;
    int status;
    {
        velka::SigpipeBlock block;
        errno = 0;
        written = total ? fwrite(input, 1, total, cmd.stream) : 0;
        writeErrno = errno;
        status = closeCommand(cmd);
    }
    if (written < total) {
        errno = writeErrno;
        messlog2(0, 1, "Failed to execute command with input: only %lu of %lu bytes were written.",
                 static_cast<unsigned long>(written), static_cast<unsigned long>(total));
        return -1;
    }
    return exitStatusOf(status);
}

} // extern "C"
