/* Shell quoting: a per-byte class table, quoting for display in command lines,
 * a safety test for arguments, backslash escaping and lower-casing of C strings. */
#ifndef VELKA_UTIL_SHELL_QUOTE_H
#define VELKA_UTIL_SHELL_QUOTE_H

#ifdef __cplusplus
extern "C" {
#endif

/* 256 class marks indexed by the unsigned byte value: '*' needs a backslash,
 * 'n' needs single quotes (line feed only), '-' is safe unquoted. */
extern const char *const shell_escape_chars;

/* 1 when every byte of arg is marked safe (a null or empty arg is safe), else 0. */
int check_shell_arg_nothrow(const char *arg);

/* A copy of text with a backslash before every byte that occurs in specials.
 * Returns a malloc'ed string the caller frees, or null when either argument is
 * null or memory runs out. */
char *escape_chars(const char *specials, const char *text);

/* Lower-cases text in place with tolower() of the current locale; null is ignored. */
void strtolower(char *text);

/* A malloc'ed lower-case copy of text that the caller frees. Null for a null text
 * (silently) or when the copy cannot be made (logged at LOG_ERR). */
char *strtolower_dynamic(const char *text);

#ifdef __cplusplus
}

#include <string>

namespace velka {

// Each '*' byte gets a backslash, a line feed becomes a quoted "'\n'"; the rest is
// copied. Suited to showing a command line, not to building one.
std::string sh_quote(const std::string &text);

// The text in single quotes, each single quote in it written as '\''.
std::string sh_strong_quote(const std::string &text);

// Returns when every byte of arg is safe unquoted; otherwise throws
// std::runtime_error "Internal error: bad escape_chars value".
void check_shell_arg(const std::string &arg);

} // namespace velka

#endif

#endif
