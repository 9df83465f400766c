#include "admin/password_input.h"

#include "admin/terminal_echo.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace velka::admin {

namespace {

// Byte by byte, so that nothing after the line is taken from a shared input.
bool readLine(int fd, Secret *secret, bool *sawAny, std::string *error) {
    *sawAny = false;
    for (;;) {
        char c;
        const ssize_t got = read(fd, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *error = std::string("cannot read standard input: ") + strerror(errno);
            return false;
        }
        if (got == 0)
            return true;
        *sawAny = true;
        if (c == '\n')
            return true;
        if (c == '\0') {
            *error = "a NUL byte in the line read";
            return false;
        }
        if (!secret->append(c)) {
            *error = "longer than " + std::to_string(Secret::CAPACITY) + " bytes";
            return false;
        }
    }
}

void say(const std::string &text) {
    (void)!write(STDERR_FILENO, text.data(), text.size());
}

bool askOnTerminal(const std::string &what, const std::string &address, Secret *secret,
                   std::string *error) {
    EchoOff quiet(STDIN_FILENO);
    if (!quiet.ok()) {
        *error = std::string("cannot switch the terminal's echo off: ") + strerror(errno);
        return false;
    }
    Secret again;
    say("New " + what + " for " + address + ": ");
    bool ok = readSecretLine(STDIN_FILENO, secret, error);
    say("\n");
    if (!ok)
        return false;
    say("Retype the " + what + ": ");
    ok = readSecretLine(STDIN_FILENO, &again, error);
    say("\n");
    if (ok && !secret->sameAs(again)) {
        *error = "the two differ; nothing changed";
        return false;
    }
    return ok;
}

} // namespace

bool readSecretLine(int fd, Secret *secret, std::string *error) {
    secret->clear();
    bool sawAny = false;
    if (!readLine(fd, secret, &sawAny, error)) {
        secret->clear();
        return false;
    }
    secret->dropCarriageReturn();
    if (secret->empty()) {
        *error = sawAny ? "an empty line" : "nothing to read";
        return false;
    }
    return true;
}

bool readSecret(const std::string &what, const std::string &address, Secret *secret,
                std::string *error) {
    if (isatty(STDIN_FILENO))
        return askOnTerminal(what, address, secret, error);
    if (readSecretLine(STDIN_FILENO, secret, error))
        return true;
    *error = "no " + what + " read from standard input (" + *error +
             "): give it as one line on standard input, or run on a terminal to be asked";
    return false;
}

} // namespace velka::admin
