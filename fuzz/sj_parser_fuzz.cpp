// libFuzzer target for the streaming JSON parser: walks arbitrary bytes both by
// skipping and token by token, and traps on any broken invariant of the parser.
#include "fuzz/fuzz_support.h"
#include "maildata/sj_parser.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

const int MAX_WALK_DEPTH = 64;

struct Run {
    sj_parser *parser;
    const char *original; // the input as it came, to see what the parser rewrote
    char *text;           // the parser's copy
    size_t length;        // up to the first NUL: where every document ends
};

void check_state(const Run &run) {
    const sj_parser *p = run.parser;
    CHECK(p->start == run.text);
    CHECK(p->current >= run.text && p->current <= run.text + run.length);
    // Codes 1, 14 and 19 to 23 belong to the callers.
    CHECK(p->error >= 0 && p->error <= SJ_ERROR_NO_MEMORY);
    CHECK(p->error != SJ_ERROR_END_OF_CONTAINER && p->error != SJ_ERROR_REQUIRED_FIELDS);
    CHECK(p->error != SJ_ERROR_NULL_UNEXPECTED && p->error != SJ_ERROR_NO_MEMORY);
}

// A decoded string lies in the buffer between its opening quote and current.
void check_string(const Run &run, const char *s) {
    CHECK(s != nullptr);
    CHECK(s > run.text && s[-1] == '"');
    CHECK(s + strlen(s) < run.parser->current);
}

template <typename Parse> void parse_restoring(Run &run, Parse parse) {
    char *before = run.parser->current;
    parse(run.parser);
    CHECK(run.parser->error == 0 || run.parser->current == before);
}

void walk(Run &run, int depth) {
    sj_parser *p = run.parser;
    sj_skip_whitespace(p);
    if (depth > MAX_WALK_DEPTH) {
        sj_skip_value(p);
    } else if (sj_peek_is_object(p)) {
        if (sj_parse_object_start(p) != 0 || sj_parse_object_end_if_empty(p))
            return;
        do {
            char *key = sj_parse_object_key(p);
            if (p->error != 0)
                return;
            check_string(run, key);
            walk(run, depth + 1);
        } while (p->error == 0 && sj_parse_object_next(p) == 0);
    } else if (sj_peek_is_array(p)) {
        if (sj_parse_array_start(p) != 0 || sj_parse_array_end_if_empty(p))
            return;
        do {
            walk(run, depth + 1);
        } while (p->error == 0 && sj_parse_array_next(p) == 0);
    } else if (sj_peek_is_string(p)) {
        char *s = sj_parse_string(p);
        if (s != nullptr)
            check_string(run, s);
    } else if (sj_peek_is_number(p)) {
        // The position picks the reader, so one input reaches all of them.
        switch ((p->current - p->start) % 5) {
        case 0:
            sj_parse_int64(p);
            break;
        case 1:
            sj_parse_uint64(p);
            break;
        case 2:
            parse_restoring(run, sj_parse_int);
            break;
        case 3:
            parse_restoring(run, sj_parse_uint);
            break;
        default:
            sj_skip_number(p);
        }
    } else if (sj_peek_is_boolean(p)) {
        sj_parse_boolean(p);
    } else if (sj_peek_is_null(p)) {
        sj_parse_null(p);
    } else {
        sj_skip_value(p);
    }
    check_state(run);
}

void check_report(const Run &run) {
    const char *report = sj_parser_strerror(run.parser);
    size_t length = strlen(report);
    CHECK(length < SJ_STRERROR_SIZE);
    if (run.parser->error == 0)
        CHECK(strcmp(report, "OK, no error.") == 0);
    else
        CHECK(strstr(report, " Error occured at offset ") != nullptr);
}

// Runs one pass over a fresh copy; returns after checking what is left of the buffer.
template <typename Pass> void run_pass(const uint8_t *data, size_t size, Pass pass) {
    // Exactly size + 1 bytes, so that any read past the terminator is caught.
    char *text = static_cast<char *>(malloc(size + 1));
    if (text == nullptr)
        return;
    memcpy(text, data, size);
    text[size] = '\0';
    sj_parser *parser = sj_create_parser(text, nullptr);
    CHECK(parser != nullptr);
    Run run = {parser, reinterpret_cast<const char *>(data), text, strlen(text)};

    errno = 0;
    pass(run);
    check_state(run);
    check_report(run);
    // Strings are rewritten only behind the read position.
    if (parser->error == 0) {
        size_t offset = static_cast<size_t>(parser->current - text);
        CHECK(memcmp(parser->current, run.original + offset, run.length - offset) == 0);
    }
    sj_free_parser(parser);
    free(text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    run_pass(data, size, [](Run &run) { sj_skip_value(run.parser); });
    run_pass(data, size, [](Run &run) { walk(run, 0); });
    return 0;
}
