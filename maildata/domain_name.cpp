// The domain-name rule: labels of letters, digits and inner hyphens, joined by dots.
#include "maildata/domain_name.h"

#include <string.h>

namespace {

constexpr size_t DOMAIN_NAME_MAX = 255;
constexpr size_t LABEL_MAX = 63;

bool isLabelChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

bool isLabelValid(const char *label, size_t len) {
    if (len == 0 || len > LABEL_MAX)
        return false;
    if (label[0] == '-' || label[len - 1] == '-')
        return false;
    for (size_t i = 0; i < len; ++i) {
        if (!isLabelChar(label[i]))
            return false;
    }
    return true;
}

} // namespace

extern "C" int is_domain_name_valid(const char *name) {
    if (!name)
        return 0;
    // strnlen keeps an overlong name from being walked to its end.
    size_t len = strnlen(name, DOMAIN_NAME_MAX + 1);
    if (len == 0 || len > DOMAIN_NAME_MAX)
        return 0;

    const char *label = name;
    for (;;) {
        const char *dot = static_cast<const char *>(memchr(label, '.', len - (label - name)));
        size_t labelLen = dot ? static_cast<size_t>(dot - label) : len - (label - name);
        if (!isLabelValid(label, labelLen))
            return 0;
        if (!dot)
            return 1;
        label = dot + 1;
    }
}
