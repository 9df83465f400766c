// The session mail data document's schema: a walk over the JSON tokens that fills a
// mail_db_data_t, checks every value as it is read and insists on the required keys.
#include "maildata/mail_db_data.h"

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace {

// Texts the report of a broken rule (code 23) quotes.
const char DOMAIN_NAME_INVALID[] = "Domain name is not valid";
const char DOMAIN_ALIAS_INVALID[] = "Domain alias is not valid";
const char MAILLIST_INVALID[] = "Maillist is not valid";
const char MAILNAME_INVALID[] = "Mailname is not valid";
const char QUOTA_OUT_OF_BOUNDS[] = "Mailbox quota value is out of bounds";
const char QUOTA_UNIT_INVALID[] = "Mailbox quota unit value is invalid";
const char MAIL_ALIAS_INVALID[] = "Mail alias is not valid";

const char DEFAULT_QUOTA_UNIT[] = "B";

typedef int (*NameRule)(const char *text);

int fail(sj_parser *parser, int code) {
    parser->error = code;
    return code;
}

int failRule(sj_parser *parser, const char *context) {
    parser->context = context;
    return fail(parser, SJ_ERROR_CONSTRAINT);
}

bool isKey(const char *key, const char *name) {
    return std::strcmp(key, name) == 0;
}

void release(sj_parser *parser, void *pointer) {
    if (pointer != nullptr)
        parser->funcs.release(parser->funcs.user_data, pointer);
}

// Appends one zeroed slot to list, growing its array by exactly that slot when full.
// Null with SJ_ERROR_NO_MEMORY when the array cannot grow.
template <typename List> auto appendSlot(sj_parser *parser, List &list) -> decltype(list.items) {
    typedef typename std::remove_pointer<decltype(list.items)>::type Item;
    if (list.count == list.capacity) {
        if (list.capacity >= SIZE_MAX / sizeof(Item)) {
            fail(parser, SJ_ERROR_NO_MEMORY);
            return nullptr;
        }
        void *grown = parser->funcs.reallocate(parser->funcs.user_data, list.items,
                                               (list.capacity + 1) * sizeof(Item));
        if (grown == nullptr) {
            fail(parser, SJ_ERROR_NO_MEMORY);
            return nullptr;
        }
        list.items = static_cast<Item *>(grown);
        list.capacity++;
    }
    Item *slot = &list.items[list.count++];
    std::memset(static_cast<void *>(slot), 0, sizeof(Item));
    return slot;
}

void freeStringList(sj_parser *parser, mail_db_string_list_t &list) {
    release(parser, static_cast<void *>(list.items));
    list = mail_db_string_list_t();
}

// Empties the list but keeps its array for reuse; the mails' own arrays are released.
void clearMails(sj_parser *parser, mail_db_mail_list_t &mails) {
    for (uint64_t i = 0; i < mails.count; ++i)
        freeStringList(parser, mails.items[i].aliases);
    mails.count = 0;
}

// Calls field(key) for each key of an object, which must read the key's value.
// Returns 0 or the parser's error.
template <typename Field> int parseObject(sj_parser *parser, Field field) {
    if (sj_parse_object_start(parser) != 0)
        return parser->error;
    if (sj_parse_object_end_if_empty(parser))
        return 0;
    for (;;) {
        const char *key = sj_parse_object_key(parser);
        if (parser->error != 0 || field(key) != 0)
            return parser->error;
        int end = sj_parse_object_next(parser);
        if (parser->error != 0)
            return parser->error;
        if (end)
            return 0;
    }
}

// Calls item() for each element of an array, which must read it. A repeated key
// replaces its earlier list, so the caller empties the list first.
template <typename Item> int parseArray(sj_parser *parser, Item item) {
    if (sj_parse_array_start(parser) != 0)
        return parser->error;
    if (sj_parse_array_end_if_empty(parser))
        return 0;
    for (;;) {
        if (item() != 0)
            return parser->error;
        int end = sj_parse_array_next(parser);
        if (parser->error != 0)
            return parser->error;
        if (end)
            return 0;
    }
}

// A string that must pass rule; stored into *target.
int parseCheckedString(sj_parser *parser, const char **target, NameRule rule, const char *context) {
    const char *text = sj_parse_string(parser);
    if (text == nullptr)
        return parser->error;
    if (rule != nullptr && !rule(text))
        return failRule(parser, context);
    *target = text;
    return 0;
}

int parseStringList(sj_parser *parser, mail_db_string_list_t &list, NameRule rule,
                    const char *context) {
    list.count = 0;
    return parseArray(parser, [&] {
        const char *text = nullptr;
        if (parseCheckedString(parser, &text, rule, context) != 0)
            return parser->error;
        const char **slot = appendSlot(parser, list);
        if (slot == nullptr)
            return parser->error;
        *slot = text;
        return 0;
    });
}

int parseMail(sj_parser *parser, mail_db_mail_t &mail) {
    bool haveName = false, haveQuota = false, haveUnit = false, haveAliases = false;
    char *afterQuota = nullptr;
    int rc = parseObject(parser, [&](const char *key) {
        if (isKey(key, "name")) {
            haveName = true;
            return parseCheckedString(parser, &mail.name, is_mailname_valid, MAILNAME_INVALID);
        }
        if (isKey(key, "mbox_quota")) {
            haveQuota = true;
            int64_t quota = sj_parse_int64(parser);
            if (parser->error != 0)
                return parser->error;
            if (!is_mbox_quota_valid(quota))
                return failRule(parser, QUOTA_OUT_OF_BOUNDS);
            mail.mbox_quota = quota;
            afterQuota = parser->current;
            return 0;
        }
        if (isKey(key, "mbox_quota_unit")) {
            haveUnit = true;
            return parseCheckedString(parser, &mail.mbox_quota_unit, is_valid_size_unit,
                                      QUOTA_UNIT_INVALID);
        }
        if (isKey(key, "aliases")) {
            haveAliases = true;
            return parseStringList(parser, mail.aliases, is_mailname_valid, MAIL_ALIAS_INVALID);
        }
        return sj_skip_value(parser);
    });
    if (rc != 0)
        return rc;
    if (!haveQuota)
        mail.mbox_quota = -1;
    if (!haveUnit)
        mail.mbox_quota_unit = DEFAULT_QUOTA_UNIT;
    if (!haveName || !haveAliases)
        return fail(parser, SJ_ERROR_REQUIRED_FIELDS);
    // The quota is kept in bytes later on; refuse one whose byte count cannot be held,
    // pointing the report at the quota itself.
    if (mail.mbox_quota > 0 &&
        !is_value_in_bytes_representable(mail.mbox_quota, mail.mbox_quota_unit)) {
        parser->current = afterQuota;
        return failRule(parser, QUOTA_OUT_OF_BOUNDS);
    }
    return 0;
}

int parseMails(sj_parser *parser, mail_db_mail_list_t &mails) {
    clearMails(parser, mails);
    return parseArray(parser, [&] {
        mail_db_mail_t *mail = appendSlot(parser, mails);
        if (mail == nullptr)
            return parser->error;
        return parseMail(parser, *mail);
    });
}

int parseDomain(sj_parser *parser, mail_db_data_t &data) {
    bool haveName = false, haveAliases = false, haveLists = false, haveMails = false;
    int rc = parseObject(parser, [&](const char *key) {
        if (isKey(key, "name")) {
            haveName = true;
            return parseCheckedString(parser, &data.domain_name, is_domain_name_valid,
                                      DOMAIN_NAME_INVALID);
        }
        if (isKey(key, "dom_aliases")) {
            haveAliases = true;
            return parseStringList(parser, data.domain_aliases, is_domain_name_valid,
                                   DOMAIN_ALIAS_INVALID);
        }
        if (isKey(key, "maillists")) {
            haveLists = true;
            return parseStringList(parser, data.maillists, is_mailname_valid, MAILLIST_INVALID);
        }
        if (isKey(key, "mails")) {
            haveMails = true;
            return parseMails(parser, data.mails);
        }
        return sj_skip_value(parser);
    });
    if (rc != 0)
        return rc;
    if (!haveName || !haveAliases || !haveLists || !haveMails)
        return fail(parser, SJ_ERROR_REQUIRED_FIELDS);
    return 0;
}

int parseCertificate(sj_parser *parser, mail_db_certificate_t &certificate) {
    bool haveName = false, haveFile = false;
    int rc = parseObject(parser, [&](const char *key) {
        if (isKey(key, "name")) {
            haveName = true;
            return parseCheckedString(parser, &certificate.name, nullptr, nullptr);
        }
        if (isKey(key, "certfile")) {
            haveFile = true;
            return parseCheckedString(parser, &certificate.certfile, nullptr, nullptr);
        }
        return sj_skip_value(parser);
    });
    if (rc != 0)
        return rc;
    if (!haveName || !haveFile)
        return fail(parser, SJ_ERROR_REQUIRED_FIELDS);
    return 0;
}

int parseCertificates(sj_parser *parser, mail_db_certificate_list_t &certificates) {
    certificates.count = 0;
    return parseArray(parser, [&] {
        mail_db_certificate_t *certificate = appendSlot(parser, certificates);
        if (certificate == nullptr)
            return parser->error;
        return parseCertificate(parser, *certificate);
    });
}

} // namespace

extern "C" {

mail_db_data_t *create_mail_db_data_object(sj_parser *parser) {
    void *object = parser->funcs.allocate(parser->funcs.user_data, sizeof(mail_db_data_t));
    if (object == nullptr)
        return nullptr;
    std::memset(object, 0, sizeof(mail_db_data_t));
    return static_cast<mail_db_data_t *>(object);
}

void free_mail_db_data_object_fields(sj_parser *parser, mail_db_data_t *object) {
    if (object == nullptr)
        return;
    freeStringList(parser, object->domain_aliases);
    freeStringList(parser, object->maillists);
    clearMails(parser, object->mails);
    release(parser, object->mails.items);
    object->mails = mail_db_mail_list_t();
    release(parser, object->certificates.items);
    object->certificates = mail_db_certificate_list_t();
}

void free_mail_db_data_object(sj_parser *parser, mail_db_data_t *object) {
    if (object == nullptr)
        return;
    free_mail_db_data_object_fields(parser, object);
    release(parser, object);
}

int parse_mail_db_data_object(sj_parser *parser, mail_db_data_t *object) {
    bool haveDomain = false, haveCertificates = false;
    int rc = parseObject(parser, [&](const char *key) {
        if (isKey(key, "domain")) {
            haveDomain = true;
            return parseDomain(parser, *object);
        }
        if (isKey(key, "certificates")) {
            haveCertificates = true;
            return parseCertificates(parser, object->certificates);
        }
        return sj_skip_value(parser);
    });
    if (rc != 0)
        return rc;
    if (!haveDomain || !haveCertificates)
        return fail(parser, SJ_ERROR_REQUIRED_FIELDS);
    return 0;
}

} // extern "C"
