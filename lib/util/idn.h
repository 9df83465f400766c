// IDN conversion: domain names and mail addresses to and from their ASCII (IDNA) form.
#ifndef VELKA_UTIL_IDN_H
#define VELKA_UTIL_IDN_H

#ifdef __cplusplus
extern "C" {
#endif

/* Text of a libidn IDNA return code ("Success", "Punycode error", ...), or
 * "Unknown error" for a code libidn does not define. The result is a constant
 * string; never null. */
const char *idn_strerror(int code);

#ifdef __cplusplus
}

#include <exception>
#include <string>

namespace velka::idn {

// A libidn conversion failed; code() is libidn's return code.
class IdnaError : public std::exception {
public:
    explicit IdnaError(int code) noexcept : code_(code) {}
    ~IdnaError() override = default;
    const char *what() const noexcept override;
    int code() const noexcept { return code_; }

private:
    int code_;
};

// Both conversions read the name up to its first NUL, allow no unassigned code
// points and do not apply the STD3 ASCII rules. They throw IdnaError when libidn
// rejects the name and std::bad_alloc when it cannot allocate.
std::string toAscii(const std::string &name);
std::string toUtf8(const std::string &name);

// The address with the part after its first "@" in ASCII form; the local part is
// kept as it is. An address without "@" (or empty) is returned unchanged.
std::string emailToAscii(const std::string &address);

} // namespace velka::idn

#endif

#endif
