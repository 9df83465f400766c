// Tests of the session mail data schema walk: required keys, the codes and context
// texts of broken values, repeated and unknown keys, and list growth.
#include "maildata/mail_db_data.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A document, the parser over it and the object it fills.
class Parsed {
public:
    explicit Parsed(const std::string &text, const sj_util_funcs *hooks = nullptr)
        : text_(text.begin(), text.end()) {
        text_.push_back('\0');
        parser = sj_create_parser(text_.data(), hooks);
        object = create_mail_db_data_object(parser);
        errno = 0;
        code = parse_mail_db_data_object(parser, object);
    }
    ~Parsed() {
        free_mail_db_data_object(parser, object);
        sj_free_parser(parser);
    }
    std::string report() const { return sj_parser_strerror(parser); }
    size_t offset() const { return static_cast<size_t>(parser->current - parser->start); }

    sj_parser *parser;
    mail_db_data_t *object;
    int code;

private:
    std::vector<char> text_;
};

// A complete document around the given domain members and certificate list.
std::string document(const std::string &domainExtra = "", const std::string &mails = "[]",
                     const std::string &certificates = "[]") {
    return R"({"domain": {"name": "example.com", "dom_aliases": [], "maillists": [], "mails": )" +
           mails + domainExtra + R"(}, "certificates": )" + certificates + "}";
}

std::string mailsWith(const std::string &members) {
    return R"([{"name": "john", "aliases": [])" + members + "}]";
}

TEST(MailDbParse, FullDocument) {
    Parsed p(R"({
        "version": {"skipped": [1.5e3, null, true, {"x": "y"}]},
        "domain": {
            "name": "Example.COM",
            "dom_aliases": ["example.net", "xn--p1ai"],
            "maillists": ["News"],
            "mails": [
                {"name": "john", "mbox_quota": 5, "mbox_quota_unit": "KB", "aliases": ["jd"]},
                {"name": "mary", "aliases": [], "extra": [[]]}
            ],
            "ignored": false
        },
        "certificates": [{"name": "Mail.Example.COM", "certfile": "/etc/ssl/A.pem", "x": 1}]
    } trailing garbage is ignored)");
    ASSERT_EQ(p.code, 0) << p.report();
    const mail_db_data_t &d = *p.object;
    EXPECT_STREQ(d.domain_name, "Example.COM"); // normalising is the reader's job
    ASSERT_EQ(d.domain_aliases.count, 2u);
    EXPECT_STREQ(d.domain_aliases.items[1], "xn--p1ai");
    ASSERT_EQ(d.maillists.count, 1u);
    EXPECT_STREQ(d.maillists.items[0], "News");
    ASSERT_EQ(d.mails.count, 2u);
    EXPECT_STREQ(d.mails.items[0].name, "john");
    EXPECT_EQ(d.mails.items[0].mbox_quota, 5);
    EXPECT_STREQ(d.mails.items[0].mbox_quota_unit, "KB");
    ASSERT_EQ(d.mails.items[0].aliases.count, 1u);
    EXPECT_STREQ(d.mails.items[0].aliases.items[0], "jd");
    EXPECT_EQ(d.mails.items[1].mbox_quota, -1);
    EXPECT_STREQ(d.mails.items[1].mbox_quota_unit, "B");
    EXPECT_EQ(d.mails.items[1].aliases.count, 0u);
    ASSERT_EQ(d.certificates.count, 1u);
    EXPECT_STREQ(d.certificates.items[0].name, "Mail.Example.COM");
    EXPECT_STREQ(d.certificates.items[0].certfile, "/etc/ssl/A.pem");
    // Lists grow one slot at a time.
    EXPECT_EQ(d.domain_aliases.capacity, 2u);
    EXPECT_EQ(d.mails.capacity, 2u);
}

TEST(MailDbParse, RequiredKeys) {
    const std::string minimal = document();
    EXPECT_EQ(Parsed(minimal).code, 0);

    EXPECT_EQ(Parsed("{}").code, SJ_ERROR_REQUIRED_FIELDS);
    EXPECT_EQ(Parsed(R"({"certificates": []})").code, SJ_ERROR_REQUIRED_FIELDS);
    EXPECT_EQ(Parsed(R"({"domain": {}, "certificates": []})").code, SJ_ERROR_REQUIRED_FIELDS);
    const char *domainKeys[] = {R"("name": "a.com")", R"("dom_aliases": [])", R"("maillists": [])",
                                R"("mails": [])"};
    for (int left = 0; left < 4; ++left) {
        std::string members;
        for (int i = 0; i < 4; ++i) {
            if (i != left)
                members += std::string(members.empty() ? "" : ", ") + domainKeys[i];
        }
        Parsed p(R"({"domain": {)" + members + R"(}, "certificates": []})");
        EXPECT_EQ(p.code, SJ_ERROR_REQUIRED_FIELDS) << members;
    }
    EXPECT_EQ(Parsed(R"({"domain": {"name": "a.com", "dom_aliases": [], "maillists": [],
                         "mails": []}})")
                  .code,
              SJ_ERROR_REQUIRED_FIELDS);

    // A mail needs its name and its aliases, even with everything else given.
    EXPECT_EQ(Parsed(document("", R"([{"name": "john", "mbox_quota": 1}])")).code,
              SJ_ERROR_REQUIRED_FIELDS);
    EXPECT_EQ(Parsed(document("", R"([{"aliases": []}])")).code, SJ_ERROR_REQUIRED_FIELDS);
    EXPECT_EQ(Parsed(document("", "[{}]")).code, SJ_ERROR_REQUIRED_FIELDS);
    EXPECT_EQ(Parsed(document("", "[]", R"([{"name": "a"}])")).code, SJ_ERROR_REQUIRED_FIELDS);
    EXPECT_EQ(Parsed(document("", "[]", R"([{"certfile": "/a"}])")).code, SJ_ERROR_REQUIRED_FIELDS);
    EXPECT_EQ(Parsed(document("", "[]", "[{}]")).code, SJ_ERROR_REQUIRED_FIELDS);
}

TEST(MailDbParse, EmptyMailGetsTheDefaults) {
    Parsed p(document("", "[{}]"));
    ASSERT_EQ(p.object->mails.count, 1u);
    EXPECT_EQ(p.object->mails.items[0].mbox_quota, -1);
    EXPECT_STREQ(p.object->mails.items[0].mbox_quota_unit, "B");
}

struct BrokenValue {
    std::string document;
    std::string context;
    std::string offender; // the text the offset points just after
};

TEST(MailDbParse, BrokenValuesNameTheirRule) {
    const std::vector<BrokenValue> cases = {
        {R"({"domain": {"name": "a_b.com", "dom_aliases": [], "maillists": [], "mails": []},
            "certificates": []})",
         "Domain name is not valid", R"("a_b.com")"},
        {document(R"(, "dom_aliases": ["ok.com", "-bad.com"])"), "Domain alias is not valid",
         R"("-bad.com")"},
        {document(R"(, "maillists": ["a..b"])"), "Maillist is not valid", R"("a..b")"},
        {document("", R"([{"name": "jo hn", "aliases": []}])"), "Mailname is not valid",
         R"("jo hn")"},
        {document("", mailsWith(R"(, "mbox_quota": -2)")), "Mailbox quota value is out of bounds",
         "-2"},
        {document("", mailsWith(R"(, "mbox_quota_unit": "kb")")),
         "Mailbox quota unit value is invalid", R"("kb")"},
        {document("", R"([{"name": "john", "aliases": ["x@y"]}])"), "Mail alias is not valid",
         R"("x@y")"},
    };
    for (const BrokenValue &c : cases) {
        Parsed p(c.document);
        EXPECT_EQ(p.code, SJ_ERROR_CONSTRAINT) << c.document;
        EXPECT_STREQ(p.parser->context, c.context.c_str());
        size_t at = c.document.find(c.offender) + c.offender.size();
        EXPECT_EQ(p.offset(), at) << c.document;
        EXPECT_EQ(p.report().rfind("Custom JSON value constraint failed: " + c.context +
                                       ". Error occured at offset " + std::to_string(at),
                                   0),
                  0u)
            << p.report();
    }
}

TEST(MailDbParse, WrongTypesGiveTheExpectedTokensCode) {
    EXPECT_EQ(Parsed("").code, SJ_ERROR_OBJECT_EXPECTED);
    EXPECT_EQ(Parsed("[]").code, SJ_ERROR_OBJECT_EXPECTED);
    EXPECT_EQ(Parsed(R"({"domain": [], "certificates": []})").code, SJ_ERROR_OBJECT_EXPECTED);
    EXPECT_EQ(Parsed(document("", "{}")).code, SJ_ERROR_ARRAY_EXPECTED);
    EXPECT_EQ(Parsed(document("", "[]", "null")).code, SJ_ERROR_ARRAY_EXPECTED);
    EXPECT_EQ(Parsed(document("", "[[]]")).code, SJ_ERROR_OBJECT_EXPECTED);
    EXPECT_EQ(Parsed(document(R"(, "dom_aliases": [1])")).code, SJ_ERROR_STRING_EXPECTED);
    EXPECT_EQ(Parsed(document("", mailsWith(R"(, "mbox_quota": "5")"))).code,
              SJ_ERROR_NUMBER_EXPECTED);
    EXPECT_EQ(Parsed(document("", mailsWith(R"(, "mbox_quota": 1.5)"))).code,
              SJ_ERROR_NUMBER_FORMAT);
    EXPECT_EQ(Parsed(document("", mailsWith(R"(, "mbox_quota": 9223372036854775808)"))).code,
              SJ_ERROR_NUMBER_RANGE);
    EXPECT_EQ(Parsed(document("", "[]", R"([{"name": 1, "certfile": "/a"}])")).code,
              SJ_ERROR_STRING_EXPECTED);
    EXPECT_EQ(Parsed(document() + "x").code, 0);
    EXPECT_EQ(Parsed(R"({"domain": {} "certificates": []})").code, SJ_ERROR_REQUIRED_FIELDS);
    EXPECT_EQ(Parsed(R"({"certificates": [] "domain": {}})").code, SJ_ERROR_OBJECT_SEPARATOR);
    EXPECT_EQ(Parsed(R"({"other": [1.], "domain": {}})").code, SJ_ERROR_NUMBER_FORMAT);
}

TEST(MailDbParse, QuotaForms) {
    struct {
        const char *member;
        int64_t quota;
    } cases[] = {
        {R"(, "mbox_quota": 0)", 0},     {R"(, "mbox_quota": -1)", -1},
        {R"(, "mbox_quota": 0x1F)", 31}, {R"(, "mbox_quota": 010)", 8},
        {R"(, "mbox_quota": +7)", 7},    {R"(, "mbox_quota": 9223372036854775807)", INT64_MAX}};
    for (const auto &c : cases) {
        Parsed p(document("", mailsWith(c.member)));
        ASSERT_EQ(p.code, 0) << c.member << p.report();
        EXPECT_EQ(p.object->mails.items[0].mbox_quota, c.quota) << c.member;
    }
}

TEST(MailDbParse, QuotaTooLargeForBytesIsRefused) {
    Parsed fits(document("", mailsWith(R"(, "mbox_quota": 8388607, "mbox_quota_unit": "TB")")));
    EXPECT_EQ(fits.code, 0) << fits.report();

    // The unit may come after the quota; the report points just after the quota.
    const std::string text =
        document("", mailsWith(R"(, "mbox_quota": 8388608, "mbox_quota_unit": "TB")"));
    Parsed p(text);
    EXPECT_EQ(p.code, SJ_ERROR_CONSTRAINT);
    EXPECT_STREQ(p.parser->context, "Mailbox quota value is out of bounds");
    EXPECT_EQ(p.offset(), text.find("8388608") + 7);
}

TEST(MailDbParse, RepeatedKeysReplaceEarlierValues) {
    Parsed p(R"({"domain": {"name": "a.com", "dom_aliases": ["x.com", "y.com"], "maillists": [],
                 "mails": [{"name": "m1", "aliases": ["a1", "a2"]}, {"name": "m2", "aliases": []}],
                 "name": "b.com", "dom_aliases": ["z.com"],
                 "mails": [{"name": "m3", "aliases": ["a3"], "aliases": []}]},
                "certificates": [{"name": "c1", "certfile": "/1"}],
                "certificates": [{"name": "c2", "certfile": "/2", "certfile": "/3"}]})");
    ASSERT_EQ(p.code, 0) << p.report();
    EXPECT_STREQ(p.object->domain_name, "b.com");
    ASSERT_EQ(p.object->domain_aliases.count, 1u);
    EXPECT_STREQ(p.object->domain_aliases.items[0], "z.com");
    ASSERT_EQ(p.object->mails.count, 1u);
    EXPECT_STREQ(p.object->mails.items[0].name, "m3");
    EXPECT_EQ(p.object->mails.items[0].aliases.count, 0u);
    ASSERT_EQ(p.object->certificates.count, 1u);
    EXPECT_STREQ(p.object->certificates.items[0].certfile, "/3");
}

// Hooks whose reallocate fails after a number of calls.
struct Budget {
    int reallocations;
};
void *budgetAllocate(void *, size_t size) {
    return malloc(size);
}
void *budgetReallocate(void *data, void *ptr, size_t size) {
    Budget *budget = static_cast<Budget *>(data);
    if (budget->reallocations-- <= 0)
        return nullptr;
    return realloc(ptr, size);
}
void budgetRelease(void *, void *ptr) {
    free(ptr);
}

TEST(MailDbParse, FailedGrowthIsCode20WithNothingLeaked) {
    const std::string text =
        document(R"(, "dom_aliases": ["a.com", "b.com"])",
                 R"([{"name": "m", "aliases": ["x", "y"]}, {"name": "n", "aliases": ["z"]}])",
                 R"([{"name": "c", "certfile": "/c"}])");
    // The lists grow eight times in all; failing each growth in turn must not leak
    // (checked under ASan).
    for (int budget = 0; budget < 8; ++budget) {
        Budget b = {budget};
        sj_util_funcs hooks = {&b, budgetAllocate, budgetReallocate, budgetRelease};
        Parsed p(text, &hooks);
        EXPECT_EQ(p.code, SJ_ERROR_NO_MEMORY) << budget;
    }
    Budget enough = {8};
    sj_util_funcs hooks = {&enough, budgetAllocate, budgetReallocate, budgetRelease};
    EXPECT_EQ(Parsed(text, &hooks).code, 0);
}

TEST(MailDbObject, CreateAndFreeThroughTheHooks) {
    sj_parser *dummy = sj_get_dummy_parser(nullptr);
    mail_db_data_t *object = create_mail_db_data_object(dummy);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->domain_name, nullptr);
    EXPECT_EQ(object->mails.items, nullptr);
    EXPECT_EQ(object->certificates.count, 0u);

    char text[] = R"({"domain": {"name": "a.com", "dom_aliases": ["b.com"], "maillists": [],
                     "mails": [{"name": "m", "aliases": ["x"]}]}, "certificates": []})";
    sj_parser *parser = sj_create_parser(text, nullptr);
    ASSERT_EQ(parse_mail_db_data_object(parser, object), 0);
    free_mail_db_data_object_fields(dummy, object);
    EXPECT_EQ(object->domain_aliases.items, nullptr);
    EXPECT_EQ(object->domain_aliases.capacity, 0u);
    EXPECT_EQ(object->mails.count, 0u);
    EXPECT_EQ(object->mails.items, nullptr);
    free_mail_db_data_object(dummy, object);
    free_mail_db_data_object(dummy, nullptr);
    sj_free_parser(parser);
}

} // namespace
