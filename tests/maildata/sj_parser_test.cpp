// Tests of the streaming JSON parser, grouped by the function under test.
#include "maildata/sj_parser.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A writable, NUL-terminated copy of a document with a default parser over it.
class Doc {
public:
    explicit Doc(const std::string &text) : text_(text.begin(), text.end()) {
        text_.push_back('\0');
        p = sj_create_parser(text_.data(), nullptr);
    }
    ~Doc() { sj_free_parser(p); }
    size_t offset() const { return static_cast<size_t>(p->current - p->start); }
    bool inside(const char *s) const {
        return s >= text_.data() && s < text_.data() + text_.size();
    }

    sj_parser *p;

private:
    std::vector<char> text_;
};

class SjParser : public ::testing::Test {
protected:
    void SetUp() override { errno = 0; }
};

struct Counts {
    int allocations = 0;
    int releases = 0;
};

void *count_allocate(void *data, size_t size) {
    static_cast<Counts *>(data)->allocations++;
    return malloc(size);
}
void *count_reallocate(void *, void *ptr, size_t size) {
    return realloc(ptr, size);
}
void count_release(void *data, void *ptr) {
    static_cast<Counts *>(data)->releases++;
    free(ptr);
}
void *refuse_allocate(void *, size_t) {
    return nullptr;
}

TEST_F(SjParser, CreateUsesTheHooksForTheRecordOnly) {
    EXPECT_EQ(sj_create_parser(nullptr, nullptr), nullptr);

    Counts counts;
    sj_util_funcs hooks = {&counts, count_allocate, count_reallocate, count_release};
    char text[] = R"({"a": ["x", "y\n", 12], "b": {"c": null}})";
    sj_parser *parser = sj_create_parser(text, &hooks);
    ASSERT_NE(parser, nullptr);
    EXPECT_EQ(parser->start, text);
    EXPECT_EQ(parser->context, nullptr);
    EXPECT_EQ(sj_skip_value(parser), 0);
    EXPECT_EQ(counts.allocations, 1);
    sj_free_parser(parser);
    EXPECT_EQ(counts.releases, 1);
    sj_free_parser(nullptr);

    hooks.allocate = refuse_allocate;
    EXPECT_EQ(sj_create_parser(text, &hooks), nullptr);
}

TEST_F(SjParser, DummyParserIsResetOnEveryCall) {
    Counts counts;
    sj_util_funcs hooks = {&counts, count_allocate, count_reallocate, count_release};
    sj_parser *dummy = sj_get_dummy_parser(&hooks);
    EXPECT_EQ(dummy->funcs.user_data, &counts);
    dummy->error = SJ_ERROR_NO_MEMORY;
    dummy->context = "x";

    EXPECT_EQ(sj_get_dummy_parser(nullptr), dummy);
    EXPECT_EQ(dummy->error, 0);
    EXPECT_EQ(dummy->context, nullptr);
    EXPECT_STREQ(dummy->current, "");
    EXPECT_EQ(dummy->funcs.user_data, nullptr);
    void *block = dummy->funcs.allocate(nullptr, 16);
    EXPECT_NE(block, nullptr);
    dummy->funcs.release(nullptr, block);
}

TEST_F(SjParser, ParseStringDecodesEscapesInPlace) {
    Doc d(R"(  "a\"b\/c\\\b\f\n\r\t" ,)");
    char *s = sj_parse_string(d.p);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(d.inside(s));
    EXPECT_STREQ(s, "a\"b/c\\\b\f\n\r\t");
    EXPECT_EQ(*d.p->current, ' ');

    Doc nul(R"("ab\u0000cd"])");
    EXPECT_STREQ(sj_parse_string(nul.p), "ab");
    EXPECT_EQ(*nul.p->current, ']');
}

TEST_F(SjParser, ParseStringRejectsBadEscapesAtTheBackslash) {
    struct Case {
        const char *text;
        int error;
        size_t offset;
    } cases[] = {
        {R"("ab\u0041")", SJ_ERROR_UNSUPPORTED_UNICODE, 3},
        {R"("ab\u00)", SJ_ERROR_UNSUPPORTED_UNICODE, 3},
        {R"("a\x")", SJ_ERROR_INVALID_ESCAPE, 2},
        {R"("a\)", SJ_ERROR_INVALID_ESCAPE, 2},
    };
    for (const Case &c : cases) {
        Doc d(c.text);
        EXPECT_EQ(sj_parse_string(d.p), nullptr) << c.text;
        EXPECT_EQ(d.p->error, c.error) << c.text;
        EXPECT_EQ(d.offset(), c.offset) << c.text;
    }
}

TEST_F(SjParser, ParseStringRejectsControlAndHighBytes) {
    for (const char *text : {"\"a\tb\"", "\"a\x7f\x80\"", "\"caf\xc3\xa9\"", "\"a\x01\""}) {
        Doc d(text);
        EXPECT_EQ(sj_parse_string(d.p), nullptr);
        EXPECT_EQ(d.p->error, SJ_ERROR_INVALID_CHARACTER);
        EXPECT_EQ(d.offset(), strcspn(text + 1, "\t\x80\xc3\x01") + 1);
    }
}

TEST_F(SjParser, ParseStringFailuresOutsideAString) {
    Doc open(R"({"key": "abc\n)");
    EXPECT_EQ(sj_parse_object_start(open.p), 0);
    EXPECT_STREQ(sj_parse_object_key(open.p), "key");
    EXPECT_EQ(sj_parse_string(open.p), nullptr);
    EXPECT_EQ(open.p->error, SJ_ERROR_PREMATURE_END);
    EXPECT_EQ(open.offset(), 8u);

    Doc number("  5");
    EXPECT_EQ(sj_parse_string(number.p), nullptr);
    EXPECT_EQ(number.p->error, SJ_ERROR_STRING_EXPECTED);
    EXPECT_EQ(number.offset(), 2u);

    Doc empty(" \n");
    EXPECT_EQ(sj_parse_string(empty.p), nullptr);
    EXPECT_EQ(empty.p->error, SJ_ERROR_PREMATURE_END);
}

struct IntCase {
    const char *text;
    long long value;
    int error;
    size_t offset;
};

template <typename Parse> void check_integers(Parse parse, std::initializer_list<IntCase> cases) {
    for (const IntCase &c : cases) {
        Doc d(c.text);
        EXPECT_EQ(static_cast<long long>(parse(d.p)), c.value) << c.text;
        EXPECT_EQ(d.p->error, c.error) << c.text;
        EXPECT_EQ(d.offset(), c.offset) << c.text;
    }
}

TEST_F(SjParser, ParseInt64BasesSignsAndFormats) {
    check_integers(sj_parse_int64, {
                                       {"12,", 12, 0, 2},
                                       {" +7]", 7, 0, 3},
                                       {"-42", -42, 0, 3},
                                       {"0x1F", 31, 0, 4},
                                       {"010", 8, 0, 3},
                                       {"-9223372036854775808", INT64_MIN, 0, 20},
                                       {"9223372036854775808", 0, SJ_ERROR_NUMBER_RANGE, 0},
                                       {"12.5", 0, SJ_ERROR_NUMBER_FORMAT, 2},
                                       {"1e3", 0, SJ_ERROR_NUMBER_FORMAT, 1},
                                       {"  x", 0, SJ_ERROR_NUMBER_EXPECTED, 0},
                                       {"\"5\"", 0, SJ_ERROR_NUMBER_EXPECTED, 0},
                                   });
}

TEST_F(SjParser, ParseUint64RejectsMinus) {
    check_integers(sj_parse_uint64, {
                                        {"0X10", 16, 0, 4},
                                        {" -1", 0, SJ_ERROR_NUMBER_FORMAT, 1},
                                        {"18446744073709551616", 0, SJ_ERROR_NUMBER_RANGE, 0},
                                    });
    Doc max("18446744073709551615");
    EXPECT_EQ(sj_parse_uint64(max.p), UINT64_MAX);
}

TEST_F(SjParser, Parse32BitRangesRestoreCurrent) {
    check_integers(sj_parse_int, {
                                     {"2147483647", INT32_MAX, 0, 10},
                                     {"-2147483648", INT32_MIN, 0, 11},
                                     {"2147483648", 0, SJ_ERROR_NUMBER_RANGE, 0},
                                     {" -2147483649", 0, SJ_ERROR_NUMBER_RANGE, 0},
                                     {" 3.0", 0, SJ_ERROR_NUMBER_FORMAT, 0},
                                 });
    check_integers(sj_parse_uint, {
                                      {" 4294967295", UINT32_MAX, 0, 11},
                                      {" 4294967296", 0, SJ_ERROR_NUMBER_RANGE, 0},
                                      {" -1", 0, SJ_ERROR_NUMBER_FORMAT, 0},
                                      {" 1E2", 0, SJ_ERROR_NUMBER_FORMAT, 0},
                                  });
}

TEST_F(SjParser, ParseIntegerErrnoOnlyReportsItsOwnRangeError) {
    errno = ERANGE;
    Doc stale("5");
    EXPECT_EQ(sj_parse_int64(stale.p), 5);
    EXPECT_EQ(stale.p->error, 0);
    EXPECT_EQ(errno, ERANGE);

    errno = 0;
    Doc huge("99999999999999999999");
    sj_parse_uint64(huge.p);
    EXPECT_EQ(errno, ERANGE);
}

TEST_F(SjParser, SkipNumberAcceptsFractionsAndExponents) {
    for (const char *text : {"1.5e-3", "-0.25", "7E+10", "-", "12"}) {
        Doc d(text);
        EXPECT_EQ(sj_skip_number(d.p), 0) << text;
        EXPECT_EQ(*d.p->current, '\0') << text;
    }
    for (const char *text : {" 1.", "1.e5", "2e", "-3e+"}) {
        Doc d(text);
        EXPECT_EQ(sj_skip_number(d.p), SJ_ERROR_NUMBER_FORMAT) << text;
        EXPECT_EQ(d.offset(), text[0] == ' ' ? 1u : 0u) << text;
    }
}

TEST_F(SjParser, SkipValueWalksNestedValues) {
    Doc d(R"( [1.5e-3, {"a": [true, null]}, "x", {}, [], false] ,)");
    EXPECT_EQ(sj_skip_value(d.p), 0);
    EXPECT_STREQ(d.p->current, " ,");

    struct Case {
        const char *text;
        int error;
        size_t offset;
    } cases[] = {
        {"}", SJ_ERROR_VALUE_EXPECTED, 0},          {R"([1, .5])", SJ_ERROR_VALUE_EXPECTED, 4},
        {R"({"a" 1})", SJ_ERROR_NAME_SEPARATOR, 5}, {R"({"a": 1])", SJ_ERROR_OBJECT_SEPARATOR, 7},
        {R"([1 2])", SJ_ERROR_ARRAY_SEPARATOR, 3},  {R"({1: 2})", SJ_ERROR_STRING_EXPECTED, 1},
        {R"(["ab)", SJ_ERROR_PREMATURE_END, 1},     {"[tru]", SJ_ERROR_BOOLEAN_EXPECTED, 1},
        {"[nul]", SJ_ERROR_NULL_EXPECTED, 1},       {"[1,", SJ_ERROR_VALUE_EXPECTED, 3},
    };
    for (const Case &c : cases) {
        Doc bad(c.text);
        EXPECT_EQ(sj_skip_value(bad.p), c.error) << c.text;
        EXPECT_EQ(bad.offset(), c.offset) << c.text;
    }

    Doc array("{}");
    EXPECT_EQ(sj_skip_array(array.p), SJ_ERROR_ARRAY_EXPECTED);
    Doc object("[]");
    EXPECT_EQ(sj_skip_object(object.p), SJ_ERROR_OBJECT_EXPECTED);
}

TEST_F(SjParser, SkipValueBoundsTheNestingDepth) {
    std::string deepest = std::string(SJ_MAX_SKIP_DEPTH, '[') + std::string(SJ_MAX_SKIP_DEPTH, ']');
    Doc ok(deepest);
    EXPECT_EQ(sj_skip_value(ok.p), 0);

    std::string mixed;
    for (int i = 0; i <= SJ_MAX_SKIP_DEPTH; i++)
        mixed += i % 2 ? "[" : R"({"k":)";
    Doc too_deep(mixed);
    EXPECT_EQ(sj_skip_value(too_deep.p), SJ_ERROR_VALUE_EXPECTED);
    EXPECT_EQ(too_deep.offset(), mixed.size() - 5);

    Doc hostile(std::string(1000000, '['));
    EXPECT_EQ(sj_skip_array(hostile.p), SJ_ERROR_VALUE_EXPECTED);
    EXPECT_EQ(hostile.offset(), size_t(SJ_MAX_SKIP_DEPTH));
}

TEST_F(SjParser, SeparatorsSkipWhiteSpaceAndReportTheWrongCloser) {
    Doc object(R"( { } {"k" : 1 , "v" 2 ] })");
    EXPECT_EQ(sj_parse_object_start(object.p), 0);
    EXPECT_EQ(sj_parse_object_end_if_empty(object.p), 1);
    EXPECT_EQ(sj_parse_object_end_if_empty(object.p), 0);
    EXPECT_EQ(sj_parse_object_start(object.p), 0);
    EXPECT_STREQ(sj_parse_object_key(object.p), "k");
    EXPECT_EQ(sj_parse_int(object.p), 1);
    EXPECT_EQ(sj_parse_object_next(object.p), 0);
    EXPECT_STREQ(sj_parse_object_key(object.p), "v");
    EXPECT_EQ(object.p->error, SJ_ERROR_NAME_SEPARATOR);
    object.p->error = 0;
    EXPECT_EQ(sj_parse_int(object.p), 2);
    EXPECT_EQ(sj_parse_object_next(object.p), SJ_ERROR_OBJECT_SEPARATOR);
    EXPECT_EQ(*object.p->current, ']');

    Doc array(" [ ] [ 1 , 2 } ]");
    EXPECT_EQ(sj_parse_array_start(array.p), 0);
    EXPECT_EQ(sj_parse_array_end_if_empty(array.p), 1);
    EXPECT_EQ(sj_parse_array_start(array.p), 0);
    EXPECT_EQ(sj_parse_array_end_if_empty(array.p), 0);
    EXPECT_EQ(sj_parse_uint(array.p), 1u);
    EXPECT_EQ(sj_parse_array_next(array.p), 0);
    EXPECT_EQ(sj_parse_uint(array.p), 2u);
    EXPECT_EQ(sj_parse_array_next(array.p), SJ_ERROR_ARRAY_SEPARATOR);
    EXPECT_EQ(*array.p->current, '}');
    array.p->error = 0;
    EXPECT_EQ(sj_parse_array_start(array.p), SJ_ERROR_ARRAY_EXPECTED);
    EXPECT_EQ(sj_parse_object_start(array.p), SJ_ERROR_OBJECT_EXPECTED);
}

TEST_F(SjParser, LiteralsAndPeeks) {
    Doc d(" trueish false null nul");
    EXPECT_FALSE(sj_peek_is_boolean(d.p));
    EXPECT_EQ(sj_parse_boolean(d.p), 1);
    EXPECT_EQ(*d.p->current, 'i');
    EXPECT_EQ(sj_parse_boolean(d.p), 0);
    EXPECT_EQ(d.p->error, SJ_ERROR_BOOLEAN_EXPECTED);
    d.p->current += 3;
    d.p->error = 0;
    EXPECT_EQ(sj_parse_boolean(d.p), 0);
    EXPECT_EQ(d.p->error, 0);
    sj_skip_whitespace(d.p);
    EXPECT_TRUE(sj_peek_is_null(d.p));
    EXPECT_EQ(sj_parse_null(d.p), 0);
    EXPECT_EQ(sj_parse_null(d.p), SJ_ERROR_NULL_EXPECTED);

    Doc peek("-");
    EXPECT_TRUE(sj_peek_is_number(peek.p));
    EXPECT_FALSE(sj_peek_is_object(peek.p) || sj_peek_is_array(peek.p) ||
                 sj_peek_is_string(peek.p));
}

TEST_F(SjParser, StrerrorTexts) {
    Doc d("x");
    errno = EIO;
    EXPECT_STREQ(sj_parser_strerror(d.p), "OK, no error.");

    // A tab inside a string value at byte 57.
    Doc tab(R"({"domain": {"name": "example.com", "certfile": "/etc/abcd)"
            "\tb\"}}");
    errno = 0;
    EXPECT_EQ(sj_skip_value(tab.p), SJ_ERROR_INVALID_CHARACTER);
    EXPECT_STREQ(sj_parser_strerror(tab.p),
                 "Invalid character found in string. Check that strings do not contain control "
                 "characters. Error occured at offset 57, character '\\x09'. ");

    Doc field(R"({"extra": 1})");
    sj_parse_object_start(field.p);
    field.p->error = SJ_ERROR_UNKNOWN_FIELD;
    field.p->context = "extra";
    EXPECT_STREQ(
        sj_parser_strerror(field.p),
        "Encountered an object field \"extra\" not present in JSON schema. Remove excessive "
        "data from input JSON document or allow skipping unknown fields. Error occured at "
        "offset 1, character '\"'. ");
    field.p->error = SJ_ERROR_DUPLICATE_FIELD;
    field.p->context = nullptr;
    EXPECT_STREQ(
        sj_parser_strerror(field.p),
        "Encountered a duplicate field \"N/A\" in a JSON object. Remove duplicates from input "
        "JSON document or disable duplicate fields check. Error occured at offset 1, "
        "character '\"'. ");
    field.p->error = SJ_ERROR_CONSTRAINT;
    field.p->context = "Domain name is not valid";
    field.p->current = field.p->start + 12;
    EXPECT_STREQ(sj_parser_strerror(field.p),
                 "Custom JSON value constraint failed: Domain name is not valid. Error occured at "
                 "offset 12, character '\\x00'. ");
}

TEST_F(SjParser, StrerrorAddsTheSystemErrorAndStaysInItsBuffer) {
    Doc d("abc");
    d.p->error = SJ_ERROR_NUMBER_EXPECTED;
    errno = ENOENT;
    EXPECT_STREQ(sj_parser_strerror(d.p),
                 "Number is expected. Error occured at offset 0, character 'a'. Also system error "
                 "occured: No such file or directory (2).");
    EXPECT_EQ(errno, ENOENT);

    errno = 0;
    d.p->error = 99;
    EXPECT_STREQ(sj_parser_strerror(d.p),
                 "unknown error code Error occured at offset 0, character 'a'. ");

    std::string context(3000, 'c');
    d.p->error = SJ_ERROR_CONSTRAINT;
    d.p->context = context.c_str();
    EXPECT_EQ(strlen(sj_parser_strerror(d.p)), size_t(SJ_STRERROR_SIZE - 1));
}

} // namespace
