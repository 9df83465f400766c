/* Streaming pull parser for JSON documents, working in place on the caller's buffer.
 *
 * The caller walks the document token by token (object start, key, string, integer,
 * separator...) and decides which keys it knows. Strings are decoded inside the
 * document buffer and returned as pointers into it: nothing is copied, and the
 * buffer must stay writable, NUL-terminated and alive for as long as any string
 * taken from it is used. The parser itself allocates only its own record.
 *
 * Failures never abort: each one stores an SJ_ERROR_* code in parser->error and
 * leaves parser->current at (or before) the offending character, so that
 * sj_parser_strerror() can point at it. Calling a reading function on a parser
 * that already holds an error is the caller's mistake; test the code after each
 * step. Not thread-safe: the dummy parser and the report buffer are static. */
#ifndef VELKA_SJ_PARSER_H
#define VELKA_SJ_PARSER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    SJ_ERROR_NONE = 0,
    SJ_ERROR_END_OF_CONTAINER = 1, /* reserved for callers; the parser never sets it */
    SJ_ERROR_PREMATURE_END = 2,
    SJ_ERROR_VALUE_EXPECTED = 3, /* also: skipped value nested deeper than SJ_MAX_SKIP_DEPTH */
    SJ_ERROR_NUMBER_EXPECTED = 4,
    SJ_ERROR_NUMBER_RANGE = 5,
    SJ_ERROR_NUMBER_FORMAT = 6,
    SJ_ERROR_STRING_EXPECTED = 7,
    SJ_ERROR_INVALID_ESCAPE = 8,
    SJ_ERROR_INVALID_CHARACTER = 9,
    SJ_ERROR_UNSUPPORTED_UNICODE = 10,
    SJ_ERROR_OBJECT_EXPECTED = 11,
    SJ_ERROR_NAME_SEPARATOR = 12,
    SJ_ERROR_OBJECT_SEPARATOR = 13,
    SJ_ERROR_REQUIRED_FIELDS = 14, /* codes 14, 19 to 23 are set by callers */
    SJ_ERROR_ARRAY_EXPECTED = 15,
    SJ_ERROR_ARRAY_SEPARATOR = 16,
    SJ_ERROR_BOOLEAN_EXPECTED = 17,
    SJ_ERROR_NULL_EXPECTED = 18,
    SJ_ERROR_NULL_UNEXPECTED = 19,
    SJ_ERROR_NO_MEMORY = 20,
    SJ_ERROR_UNKNOWN_FIELD = 21,   /* message quotes parser->context */
    SJ_ERROR_DUPLICATE_FIELD = 22, /* message quotes parser->context */
    SJ_ERROR_CONSTRAINT = 23       /* message includes parser->context */
};

/* Deepest nesting of arrays and objects that the skip functions descend into,
 * counted from the value they were asked to skip. Skipping recurses once per
 * level, so the bound keeps any document from exhausting the stack; a deeper
 * value fails with SJ_ERROR_VALUE_EXPECTED at its opening bracket. */
#define SJ_MAX_SKIP_DEPTH 256

/* Size of the static buffer that holds sj_parser_strerror()'s report. */
#define SJ_STRERROR_SIZE 1024

/* Allocator hooks for the parser record and for the caller's result objects.
 * All three functions must be set; user_data is passed back to each of them. */
typedef struct sj_util_funcs {
    void *user_data;
    void *(*allocate)(void *user_data, size_t size);
    void *(*reallocate)(void *user_data, void *ptr, size_t size);
    void (*release)(void *user_data, void *ptr);
} sj_util_funcs;

typedef struct sj_parser {
    char *start;         /* first character of the document; never owned */
    char *current;       /* next character to examine, start <= current <= the NUL */
    const char *context; /* text quoted by the reports of codes 21 to 23; set by the caller */
    int32_t error;       /* SJ_ERROR_*; 0 while no error occurred */
    sj_util_funcs funcs; /* copy of the hooks the parser was created with */
} sj_parser;

/* Fills funcs with hooks over malloc, realloc and free and null user data. */
void sj_set_default_util_funcs(sj_util_funcs *funcs);

/* Creates a parser at the start of text, a writable NUL-terminated buffer that the
 * parser modifies but does not own. funcs null selects the default hooks; they are
 * copied. Returns null when text is null, a hook is missing or allocation fails. */
sj_parser *sj_create_parser(char *text, const sj_util_funcs *funcs);

/* Releases the record through its own release hook; the buffer is untouched.
 * Accepts null. */
void sj_free_parser(sj_parser *parser);

/* Resets and returns the one static parser, positioned on an empty document and
 * carrying funcs (the default hooks when null), for callers that need only the
 * hooks. Every call resets the same record; never free it. */
sj_parser *sj_get_dummy_parser(const sj_util_funcs *funcs);

/* Returns the report of parser's error: the code's message, then for non-zero codes
 * the offset and the character at current, and the errno text when errno is
 * non-zero. The text lives in a static buffer overwritten by the next call. */
const char *sj_parser_strerror(const sj_parser *parser);

/* Reading functions. All but sj_parse_int64 and sj_parse_int skip white space
 * (isspace) before their token; those two let strtoll do it. */
void sj_skip_whitespace(sj_parser *parser);

/* Consume "{": 0, else SJ_ERROR_OBJECT_EXPECTED (also returned). */
int sj_parse_object_start(sj_parser *parser);
/* Consume "}" and return 1 when it comes next; otherwise 0, nothing consumed. */
int sj_parse_object_end_if_empty(sj_parser *parser);
/* Parse a key and its ":". Returns the key (in the buffer), or null on a string
 * error; a missing ":" sets SJ_ERROR_NAME_SEPARATOR but still returns the key. */
char *sj_parse_object_key(sj_parser *parser);
/* Consume "," (returns 0) or "}" (returns 1); else SJ_ERROR_OBJECT_SEPARATOR. */
int sj_parse_object_next(sj_parser *parser);

/* The same for arrays: "[", "]" and "," / "]" with SJ_ERROR_ARRAY_EXPECTED and
 * SJ_ERROR_ARRAY_SEPARATOR. */
int sj_parse_array_start(sj_parser *parser);
int sj_parse_array_end_if_empty(sj_parser *parser);
int sj_parse_array_next(sj_parser *parser);

/* Decode a string in place; returns it NUL-terminated inside the buffer, or null.
 * Only the escapes \" \\ \/ \b \f \n \r \t and \u0000 (which ends the string as
 * its users see it) are accepted, and only printable ASCII bytes. On failure
 * current is at the offending byte or backslash, or at the opening quote when
 * the document ends inside the string; the bytes behind current may have been
 * rewritten. */
char *sj_parse_string(sj_parser *parser);

/* "true" returns 1 and "false" 0, matched by their letters alone; anything else
 * sets SJ_ERROR_BOOLEAN_EXPECTED and returns 0. */
int sj_parse_boolean(sj_parser *parser);
/* Consume "null": 0, else SJ_ERROR_NULL_EXPECTED (also returned). */
int sj_parse_null(sj_parser *parser);

/* Integers as strtoll/strtoull read them with base 0 (0x.. hexadecimal, 0..
 * octal, an optional sign). No digits: SJ_ERROR_NUMBER_EXPECTED; out of range:
 * SJ_ERROR_NUMBER_RANGE (errno is ERANGE); a "-" for the unsigned functions or a
 * ".", "e", "E" after the digits: SJ_ERROR_NUMBER_FORMAT. They return 0 on any
 * failure. The 64-bit functions leave current after the digits for a format
 * error and unchanged otherwise; the 32-bit ones restore it on every failure.
 * errno is left as it was unless the value is out of range. */
int64_t sj_parse_int64(sj_parser *parser);
uint64_t sj_parse_uint64(sj_parser *parser);
int32_t sj_parse_int(sj_parser *parser);
uint32_t sj_parse_uint(sj_parser *parser);

/* Skip a JSON number (fractions and exponents included): 0, or
 * SJ_ERROR_NUMBER_FORMAT with current unchanged. */
int sj_skip_number(sj_parser *parser);

/* Skip one complete value, object or array (decoding its strings in place) and
 * return parser->error: 0 on success. */
int sj_skip_value(sj_parser *parser);
int sj_skip_object(sj_parser *parser);
int sj_skip_array(sj_parser *parser);

/* Whether the character at current starts the given kind of value; white space
 * is not skipped and nothing changes. */
int sj_peek_is_object(const sj_parser *parser);
int sj_peek_is_array(const sj_parser *parser);
int sj_peek_is_string(const sj_parser *parser);
int sj_peek_is_null(const sj_parser *parser);
int sj_peek_is_boolean(const sj_parser *parser);
int sj_peek_is_number(const sj_parser *parser);

#ifdef __cplusplus
}
#endif

#endif
