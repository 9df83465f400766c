// IDN conversion through libidn's IDNA functions.
#include "lib/util/idn.h"

#include <cstdlib>
#include <memory>
#include <new>

#include <idna.h>

namespace {

struct FreeDeleter {
    void operator()(char *p) const noexcept { std::free(p); }
};

using IdnaCall = int (*)(const char *, char **, int);

std::string convert(IdnaCall call, const std::string &name) {
    char *raw = nullptr;
    int rc = call(name.c_str(), &raw, 0);
    std::unique_ptr<char, FreeDeleter> out(raw);
    if (rc != IDNA_SUCCESS)
        throw velka::idn::IdnaError(rc);
    if (!out)
        throw std::bad_alloc();
    return std::string(out.get());
}

} // namespace

extern "C" const char *idn_strerror(int code) {
    switch (code) {
    case IDNA_SUCCESS:
        return "Success";
    case IDNA_STRINGPREP_ERROR:
        return "Stringprep error";
    case IDNA_PUNYCODE_ERROR:
        return "Punycode error";
    case IDNA_CONTAINS_NON_LDH:
        return "Contains non-LDH characters";
    case IDNA_CONTAINS_MINUS:
        return "Contains minus";
    case IDNA_INVALID_LENGTH:
        return "Invalid length";
    case IDNA_NO_ACE_PREFIX:
        return "ACE prefix not found";
    case IDNA_ROUNDTRIP_VERIFY_ERROR:
        return "Verify error";
    case IDNA_CONTAINS_ACE_PREFIX:
        return "ACE prefix found";
    case IDNA_ICONV_ERROR:
        return "Iconv error";
    case IDNA_MALLOC_ERROR:
        return "Cannot allocate buffer";
    default:
        return "Unknown error";
    }
}

namespace velka::idn {

const char *IdnaError::what() const noexcept {
    return idn_strerror(code_);
}

std::string toAscii(const std::string &name) {
    return convert(idna_to_ascii_8z, name);
}

std::string toUtf8(const std::string &name) {
    return convert(idna_to_unicode_8z8z, name);
}

std::string emailToAscii(const std::string &address) {
    std::string::size_type at = address.find('@');
    if (at == std::string::npos)
        return address;
    return address.substr(0, at + 1) + toAscii(address.substr(at + 1));
}

} // namespace velka::idn
