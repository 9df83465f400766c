// Shell quoting and the byte class table it rests on.
#include "lib/util/shell_quote.h"

#include "lib/log/velka_log.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <syslog.h>

namespace {

// One row per 16 byte values. Besides tab and blank, only the shell's
// metacharacters and globbing characters need escaping; bytes from 0x80 up are
// left alone so that UTF-8 text stays readable.
const char SHELL_CLASSES[] = "---------*n-----" // 0x00: tab, line feed
                             "----------------" // 0x10
                             "*-***-*****-----" // 0x20:  ! " # $ % & ' ( ) * + , - . /
                             "-----------**-**" // 0x30: 0-9 : ; < = > ?
                             "----------------" // 0x40: @ A-O
                             "-----------**---" // 0x50: P-Z [ \ ] ^ _
                             "*---------------" // 0x60: ` a-o
                             "------------*-*-" // 0x70: p-z { | } ~ DEL
                             "----------------"
                             "----------------"
                             "----------------"
                             "----------------"
                             "----------------"
                             "----------------"
                             "----------------"
                             "----------------";
static_assert(sizeof(SHELL_CLASSES) == 257, "one class mark per byte value");

char classOf(char c) {
    return SHELL_CLASSES[static_cast<unsigned char>(c)];
}

} // namespace

extern "C" {

const char *const shell_escape_chars = SHELL_CLASSES;

int check_shell_arg_nothrow(const char *arg) {
    if (arg == nullptr)
        return 1;
    for (; *arg != '\0'; ++arg)
        if (classOf(*arg) != '-')
            return 0;
    return 1;
}

char *escape_chars(const char *specials, const char *text) {
    if (specials == nullptr || text == nullptr)
        return nullptr;
    size_t len = std::strlen(text);
    if (len > (SIZE_MAX - 1) / 2)
        return nullptr;
    char *out = static_cast<char *>(std::malloc(2 * len + 1));
    if (out == nullptr)
        return nullptr;
    char *p = out;
    for (; *text != '\0'; ++text) {
        if (std::strchr(specials, *text) != nullptr)
            *p++ = '\\';
        *p++ = *text;
    }
    *p = '\0';
    return out;
}

void strtolower(char *text) {
    if (text == nullptr)
        return;
    for (; *text != '\0'; ++text)
        *text = static_cast<char>(std::tolower(static_cast<unsigned char>(*text)));
}

char *strtolower_dynamic(const char *text) {
    if (text == nullptr)
        return nullptr;
    char *copy = strdup(text);
    if (copy == nullptr) {
        velka_log(LOG_ERR, "System error: %s\n", std::strerror(errno));
        return nullptr;
    }
    strtolower(copy);
    return copy;
}

} // extern "C"

namespace velka {

std::string sh_quote(const std::string &text) {
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    for (char c : text) {
        switch (classOf(c)) {
        case '*':
            out += '\\';
            out += c;
            break;
        case 'n':
            out += '\'';
            out += c;
            out += '\'';
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string sh_strong_quote(const std::string &text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '\'';
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

void check_shell_arg(const std::string &arg) {
    // Every byte counts, also those after an embedded NUL: the string may be
    // pasted whole into a command line.
    for (char c : arg)
        if (classOf(c) != '-')
            throw std::runtime_error("Internal error: bad escape_chars value");
}

} // namespace velka
