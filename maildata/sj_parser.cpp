// Streaming JSON pull parser: tokens are read in place from the caller's buffer and
// strings are decoded over themselves, so a document costs one parser record.
#include "maildata/sj_parser.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static_assert(sizeof(long long) == sizeof(int64_t), "strtoll must yield 64 bits");

namespace {

const char *const ERROR_MESSAGES[] = {
    "OK, no error.",
    "JSON array or object has ended.",
    "JSON document has ended prematurely. Check that all strings are properly ended.",
    "Any value is expected, but was not found.",
    "Number is expected.",
    "Number value is out of range for expected type.",
    "Invalid or unsupported number format. Check that there are no floating point numbers.",
    "String is expected.",
    "Invalid escape sequence found in string.",
    "Invalid character found in string. Check that strings do not contain control characters.",
    "Invalid or unsupported Unicode character or escape sequence found in string. UTF8 encoded "
    "characters and '\\u' escape sequences are not supported.",
    "JSON object is expected.",
    "JSON name separator (':') is expected inside an object.",
    "JSON value separator (',') or end of object is expected.",
    "Some required fields are missing from the JSON object. Check that input JSON document "
    "conforms to schema.",
    "JSON array is expected.",
    "JSON value separator (',') or end of array is expected.",
    "Boolean value is expected.",
    "'null' is expected.",
    "'null' is unexpected in this context. Check that input JSON document conforms to schema.",
    "Failed to allocate memory.",
    "Encountered an object field \"%s\" not present in JSON schema. Remove excessive data from "
    "input JSON document or allow skipping unknown fields.",
    "Encountered a duplicate field \"%s\" in a JSON object. Remove duplicates from input JSON "
    "document or disable duplicate fields check.",
    "Custom JSON value constraint failed: %s.",
};
const int ERROR_COUNT = sizeof(ERROR_MESSAGES) / sizeof(ERROR_MESSAGES[0]);

char report_buffer[SJ_STRERROR_SIZE];

char dummy_document[1];
sj_parser dummy_parser;

void *default_allocate(void *, size_t size) {
    return malloc(size);
}
void *default_reallocate(void *, void *ptr, size_t size) {
    return realloc(ptr, size);
}
void default_release(void *, void *ptr) {
    free(ptr);
}

// White space follows the locale, but every locale counts the six ASCII blanks as space
// and graphic ASCII as not, so only other bytes need the (out-of-line) library call.
bool is_space(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u > ' ' && u < 0x7f)
        return false;
    if (u == ' ' || (u >= '\t' && u <= '\r'))
        return true;
    return isspace(u) != 0;
}

// Decimal digits are 0 to 9 in every locale.
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

int fail(sj_parser *parser, int code) {
    parser->error = code;
    return code;
}

// Consumes c after white space and returns true; otherwise consumes nothing.
bool consume(sj_parser *parser, char c) {
    sj_skip_whitespace(parser);
    if (*parser->current != c)
        return false;
    parser->current++;
    return true;
}

// After a member of a container: 0 at a comma, 1 at the closing bracket (both
// consumed), else the container's separator error.
int parse_next(sj_parser *parser, char closing, int error) {
    if (consume(parser, ','))
        return 0;
    if (consume(parser, closing))
        return 1;
    return fail(parser, error);
}

// Consumes word when the document continues with its letters.
bool consume_word(sj_parser *parser, const char *word) {
    size_t length = strlen(word);
    if (strncmp(parser->current, word, length) != 0)
        return false;
    parser->current += length;
    return true;
}

// Returns the character an escape's second letter stands for, or -1.
int escaped_char(char c) {
    switch (c) {
    case '"':
    case '\\':
    case '/':
        return c;
    case 'b':
        return '\b';
    case 'f':
        return '\f';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    default:
        return -1;
    }
}

// The skip functions carry the nesting depth of the container being entered.
int skip_value_at(sj_parser *parser, int depth);

// What tells objects and arrays apart when one is skipped.
struct Container {
    char opening;
    int (*start)(sj_parser *);
    int (*endIfEmpty)(sj_parser *);
    int (*next)(sj_parser *);
    bool keyed;
};
const Container OBJECT = {'{', sj_parse_object_start, sj_parse_object_end_if_empty,
                          sj_parse_object_next, true};
const Container ARRAY = {'[', sj_parse_array_start, sj_parse_array_end_if_empty,
                         sj_parse_array_next, false};

int skip_container_at(sj_parser *parser, const Container &container, int depth) {
    sj_skip_whitespace(parser);
    if (*parser->current == container.opening && depth > SJ_MAX_SKIP_DEPTH)
        return fail(parser, SJ_ERROR_VALUE_EXPECTED);
    if (container.start(parser) != 0 || container.endIfEmpty(parser))
        return parser->error;
    for (;;) {
        if (container.keyed)
            sj_parse_object_key(parser);
        if (parser->error != 0 || skip_value_at(parser, depth) != 0)
            return parser->error;
        if (container.next(parser) != 0)
            return parser->error;
    }
}

int skip_value_at(sj_parser *parser, int depth) {
    sj_skip_whitespace(parser);
    char c = *parser->current;
    if (c == '"')
        sj_parse_string(parser);
    else if (c == '-' || is_digit(c))
        sj_skip_number(parser);
    else if (c == '[')
        skip_container_at(parser, ARRAY, depth + 1);
    else if (c == 't' || c == 'f')
        sj_parse_boolean(parser);
    else if (c == 'n')
        sj_parse_null(parser);
    else if (c == '{')
        skip_container_at(parser, OBJECT, depth + 1);
    else
        fail(parser, SJ_ERROR_VALUE_EXPECTED);
    return parser->error;
}

// Shared tail of the 64-bit conversions. errno is cleared for the conversion so that
// a stale ERANGE cannot fail a valid number, and given back unless the range failed.
template <typename T, typename Convert> T parse_integer(sj_parser *parser, Convert convert) {
    char *end = nullptr;
    int saved_errno = errno;
    errno = 0;
    T value = convert(parser->current, &end, 0);
    if (errno == ERANGE) {
        fail(parser, SJ_ERROR_NUMBER_RANGE);
        return 0;
    }
    errno = saved_errno;
    if (end == parser->current) {
        fail(parser, SJ_ERROR_NUMBER_EXPECTED);
        return 0;
    }
    parser->current = end;
    if (*end == '.' || *end == 'e' || *end == 'E') {
        fail(parser, SJ_ERROR_NUMBER_FORMAT);
        return 0;
    }
    return value;
}

// A 64-bit reading narrowed to Narrow: a value out of its range fails with
// SJ_ERROR_NUMBER_RANGE, and a failed reading leaves the parser where it was.
template <typename Narrow, typename Wide>
Narrow parse_narrowed(sj_parser *parser, Wide (*parse)(sj_parser *)) {
    char *saved = parser->current;
    Wide value = parse(parser);
    if (parser->error == 0 && static_cast<Wide>(static_cast<Narrow>(value)) != value)
        fail(parser, SJ_ERROR_NUMBER_RANGE);
    if (parser->error != 0) {
        parser->current = saved;
        return 0;
    }
    return static_cast<Narrow>(value);
}

// Appends printf output to the report, cut to the space left.
size_t append(size_t used, const char *format, ...) __attribute__((format(printf, 2, 3)));
size_t append(size_t used, const char *format, ...) {
    if (used >= sizeof(report_buffer) - 1)
        return used;
    size_t room = sizeof(report_buffer) - used;
    va_list args;
    va_start(args, format);
    int written = vsnprintf(report_buffer + used, room, format, args);
    va_end(args);
    if (written < 0)
        return used;
    return static_cast<size_t>(written) >= room ? sizeof(report_buffer) - 1
                                                : used + static_cast<size_t>(written);
}

} // namespace

extern "C" {

void sj_set_default_util_funcs(sj_util_funcs *funcs) {
    if (funcs == nullptr)
        return;
    funcs->user_data = nullptr;
    funcs->allocate = default_allocate;
    funcs->reallocate = default_reallocate;
    funcs->release = default_release;
}

sj_parser *sj_create_parser(char *text, const sj_util_funcs *funcs) {
    if (text == nullptr)
        return nullptr;
    sj_util_funcs hooks;
    if (funcs != nullptr)
        hooks = *funcs;
    else
        sj_set_default_util_funcs(&hooks);
    if (hooks.allocate == nullptr || hooks.reallocate == nullptr || hooks.release == nullptr)
        return nullptr;

    auto *parser = static_cast<sj_parser *>(hooks.allocate(hooks.user_data, sizeof(sj_parser)));
    if (parser == nullptr)
        return nullptr;
    parser->start = text;
    parser->current = text;
    parser->context = nullptr;
    parser->error = SJ_ERROR_NONE;
    parser->funcs = hooks;
    return parser;
}

void sj_free_parser(sj_parser *parser) {
    if (parser == nullptr)
        return;
    sj_util_funcs hooks = parser->funcs;
    hooks.release(hooks.user_data, parser);
}

sj_parser *sj_get_dummy_parser(const sj_util_funcs *funcs) {
    dummy_document[0] = '\0';
    dummy_parser.start = dummy_document;
    dummy_parser.current = dummy_document;
    dummy_parser.context = nullptr;
    dummy_parser.error = SJ_ERROR_NONE;
    if (funcs != nullptr)
        dummy_parser.funcs = *funcs;
    else
        sj_set_default_util_funcs(&dummy_parser.funcs);
    return &dummy_parser;
}

const char *sj_parser_strerror(const sj_parser *parser) {
    int system_error = errno;
    int code = parser->error;
    if (code == SJ_ERROR_NONE) {
        snprintf(report_buffer, sizeof(report_buffer), "%s", ERROR_MESSAGES[0]);
        return report_buffer;
    }

    size_t used = 0;
    if (code >= SJ_ERROR_UNKNOWN_FIELD && code <= SJ_ERROR_CONSTRAINT) {
        const char *message = ERROR_MESSAGES[code];
        const char *slot = strstr(message, "%s");
        const char *context = parser->context != nullptr ? parser->context : "N/A";
        used =
            append(used, "%.*s%s%s", static_cast<int>(slot - message), message, context, slot + 2);
    } else if (code > 0 && code < ERROR_COUNT) {
        used = append(used, "%s", ERROR_MESSAGES[code]);
    } else {
        used = append(used, "%s", "unknown error code");
    }

    used = append(used, " Error occured at offset %zu",
                  static_cast<size_t>(parser->current - parser->start));
    unsigned char c = static_cast<unsigned char>(*parser->current);
    if (c >= 0x20 && c <= 0x7e)
        used = append(used, ", character '%c'. ", c);
    else
        used = append(used, ", character '\\x%.02x'. ", c);
    if (system_error != 0)
        append(used, "Also system error occured: %s (%d).", strerror(system_error), system_error);
    errno = system_error;
    return report_buffer;
}

void sj_skip_whitespace(sj_parser *parser) {
    char *p = parser->current;
    while (is_space(*p))
        p++;
    parser->current = p;
}

int sj_parse_object_start(sj_parser *parser) {
    return consume(parser, '{') ? 0 : fail(parser, SJ_ERROR_OBJECT_EXPECTED);
}

int sj_parse_object_end_if_empty(sj_parser *parser) {
    return consume(parser, '}') ? 1 : 0;
}

char *sj_parse_object_key(sj_parser *parser) {
    char *key = sj_parse_string(parser);
    if (key == nullptr)
        return nullptr;
    if (!consume(parser, ':'))
        fail(parser, SJ_ERROR_NAME_SEPARATOR);
    return key;
}

int sj_parse_object_next(sj_parser *parser) {
    return parse_next(parser, '}', SJ_ERROR_OBJECT_SEPARATOR);
}

int sj_parse_array_start(sj_parser *parser) {
    return consume(parser, '[') ? 0 : fail(parser, SJ_ERROR_ARRAY_EXPECTED);
}

int sj_parse_array_end_if_empty(sj_parser *parser) {
    return consume(parser, ']') ? 1 : 0;
}

int sj_parse_array_next(sj_parser *parser) {
    return parse_next(parser, ']', SJ_ERROR_ARRAY_SEPARATOR);
}

char *sj_parse_string(sj_parser *parser) {
    sj_skip_whitespace(parser);
    char *quote = parser->current;
    if (*quote != '"') {
        fail(parser, *quote == '\0' ? SJ_ERROR_PREMATURE_END : SJ_ERROR_STRING_EXPECTED);
        return nullptr;
    }

    // The decoded text is never longer than its source, so it can be written over it.
    char *in = quote + 1;
    char *out = quote + 1;
    for (;;) {
        char c = *in;
        if (c == '"') {
            *out = '\0';
            parser->current = in + 1;
            return quote + 1;
        }
        if (c == '\0') {
            parser->current = quote;
            fail(parser, SJ_ERROR_PREMATURE_END);
            return nullptr;
        }
        if (c == '\\') {
            if (in[1] == 'u') {
                // Short-circuiting stops at the terminating NUL of a cut document.
                if (in[2] != '0' || in[3] != '0' || in[4] != '0' || in[5] != '0') {
                    parser->current = in;
                    fail(parser, SJ_ERROR_UNSUPPORTED_UNICODE);
                    return nullptr;
                }
                *out++ = '\0';
                in += 6;
                continue;
            }
            int decoded = escaped_char(in[1]);
            if (decoded < 0) {
                parser->current = in;
                fail(parser, SJ_ERROR_INVALID_ESCAPE);
                return nullptr;
            }
            *out++ = static_cast<char>(decoded);
            in += 2;
            continue;
        }
        // Signed comparison: bytes of 0x80 and above (UTF-8) are rejected with controls.
        if (static_cast<signed char>(c) < 0x20) {
            parser->current = in;
            fail(parser, SJ_ERROR_INVALID_CHARACTER);
            return nullptr;
        }
        *out++ = c;
        in++;
    }
}

int sj_parse_boolean(sj_parser *parser) {
    sj_skip_whitespace(parser);
    if (consume_word(parser, "true"))
        return 1;
    if (!consume_word(parser, "false"))
        fail(parser, SJ_ERROR_BOOLEAN_EXPECTED);
    return 0;
}

int sj_parse_null(sj_parser *parser) {
    sj_skip_whitespace(parser);
    return consume_word(parser, "null") ? 0 : fail(parser, SJ_ERROR_NULL_EXPECTED);
}

int64_t sj_parse_int64(sj_parser *parser) {
    return parse_integer<int64_t>(parser, strtoll);
}

uint64_t sj_parse_uint64(sj_parser *parser) {
    sj_skip_whitespace(parser);
    if (*parser->current == '-') {
        fail(parser, SJ_ERROR_NUMBER_FORMAT);
        return 0;
    }
    return parse_integer<uint64_t>(parser, strtoull);
}

int32_t sj_parse_int(sj_parser *parser) {
    return parse_narrowed<int32_t>(parser, sj_parse_int64);
}

uint32_t sj_parse_uint(sj_parser *parser) {
    return parse_narrowed<uint32_t>(parser, sj_parse_uint64);
}

int sj_skip_number(sj_parser *parser) {
    sj_skip_whitespace(parser);
    char *p = parser->current;
    if (*p == '-')
        p++;
    while (is_digit(*p))
        p++;
    if (*p == '.') {
        if (!is_digit(*++p))
            return fail(parser, SJ_ERROR_NUMBER_FORMAT);
        while (is_digit(*p))
            p++;
    }
    if (*p == 'e' || *p == 'E') {
        p++;
        if (*p == '+' || *p == '-')
            p++;
        if (!is_digit(*p))
            return fail(parser, SJ_ERROR_NUMBER_FORMAT);
        while (is_digit(*p))
            p++;
    }
    parser->current = p;
    return 0;
}

int sj_skip_value(sj_parser *parser) {
    return skip_value_at(parser, 0);
}
int sj_skip_object(sj_parser *parser) {
    return skip_container_at(parser, OBJECT, 1);
}
int sj_skip_array(sj_parser *parser) {
    return skip_container_at(parser, ARRAY, 1);
}

int sj_peek_is_object(const sj_parser *parser) {
    return *parser->current == '{';
}
int sj_peek_is_array(const sj_parser *parser) {
    return *parser->current == '[';
}
int sj_peek_is_string(const sj_parser *parser) {
    return *parser->current == '"';
}
int sj_peek_is_null(const sj_parser *parser) {
    return *parser->current == 'n';
}

int sj_peek_is_boolean(const sj_parser *parser) {
    return *parser->current == 't' || *parser->current == 'f';
}

int sj_peek_is_number(const sj_parser *parser) {
    return *parser->current == '-' || is_digit(*parser->current);
}

} // extern "C"
