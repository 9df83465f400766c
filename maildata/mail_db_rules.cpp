// Validity rules of the session mail data: mail names, full addresses, quotas, and the
// size units quotas are given in.
#include "maildata/mail_db_data.h"

#include <cstring>

namespace {

constexpr size_t MAILNAME_MAX = 245;

struct SizeUnit {
    const char *name;
    uint64_t multiplier;
};

// Searched in this order, names compared exactly.
const SizeUnit SizeUnitsTextConversionTable[] = {
    {"B", 1ULL},
    {"KB", 1024ULL},
    {"MB", 1024ULL * 1024},
    {"GB", 1024ULL * 1024 * 1024},
    {"TB", 1024ULL * 1024 * 1024 * 1024},
};

bool isMailnameChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return c != '\0' && std::strchr(".-_&+'", c) != nullptr;
}

// The mail-name rule over the first len bytes of text.
bool isMailnameValid(const char *text, size_t len) {
    if (len == 0 || len > MAILNAME_MAX)
        return false;
    if (text[0] == '.' || text[len - 1] == '.')
        return false;
    for (size_t i = 0; i < len; ++i) {
        if (!isMailnameChar(text[i]))
            return false;
        if (text[i] == '.' && i + 1 < len && text[i + 1] == '.')
            return false;
    }
    return true;
}

} // namespace

extern "C" {

int is_mailname_valid(const char *text) {
    if (text == nullptr)
        return 0;
    return isMailnameValid(text, strnlen(text, MAILNAME_MAX + 1));
}

int is_full_mailname_valid(const char *text) {
    if (text == nullptr)
        return 0;
    const char *at = std::strchr(text, '@');
    if (at == nullptr)
        return 0;
    return isMailnameValid(text, static_cast<size_t>(at - text)) && is_domain_name_valid(at + 1);
}

int is_mbox_quota_valid(int64_t value) {
    return value >= -1;
}

int is_valid_size_unit(const char *text) {
    return get_size_unit(text) != 0;
}

uint64_t get_size_unit(const char *name) {
    if (name == nullptr)
        return 0;
    for (const SizeUnit &unit : SizeUnitsTextConversionTable) {
        if (std::strcmp(unit.name, name) == 0)
            return unit.multiplier;
    }
    return 0;
}

int64_t get_value_in_bytes(int64_t value, const char *unit) {
    // Unsigned arithmetic wraps where a signed product would be undefined.
    return static_cast<int64_t>(static_cast<uint64_t>(value) * get_size_unit(unit));
}

int is_value_in_bytes_representable(int64_t value, const char *unit) {
    uint64_t multiplier = get_size_unit(unit);
    if (multiplier == 0)
        return 0;
    int64_t limit = static_cast<int64_t>(static_cast<uint64_t>(INT64_MAX) / multiplier);
    return value <= limit && value >= -limit;
}

} // extern "C"
