// libFuzzer target for the IDN conversion: arbitrary bytes as domain names and mail
// addresses; a conversion either fails with a libidn code or gives a usable name.
#include "fuzz/fuzz_support.h"
#include "lib/util/idn.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

bool isAscii(const std::string &text) {
    for (unsigned char ch : text)
        if (ch >= 0x80 || ch == 0)
            return false;
    return true;
}

void checkError(const velka::idn::IdnaError &e) {
    CHECK(e.code() != 0);
    CHECK(e.what() != nullptr && strlen(e.what()) > 0);
}

// The ASCII form, or "\x01" and the error code when libidn refused the name.
std::string ascii(const std::string &name) {
    try {
        std::string out = velka::idn::toAscii(name);
        CHECK(isAscii(out));
        return out;
    } catch (const velka::idn::IdnaError &e) {
        checkError(e);
        return "\x01" + std::to_string(e.code());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    // The name is read up to its first NUL.
    const std::string name = input.substr(0, input.find('\0'));
    const std::string converted = ascii(input);
    CHECK(converted == ascii(name));
    // An ASCII form converts to itself again.
    if (converted[0] != '\x01' && !converted.empty()) {
        const std::string twice = ascii(converted);
        CHECK(twice[0] == '\x01' || strcasecmp(twice.c_str(), converted.c_str()) == 0);
    }

    try {
        const std::string unicode = velka::idn::toUtf8(input);
        CHECK(unicode.find('\0') == std::string::npos);
    } catch (const velka::idn::IdnaError &e) {
        checkError(e);
    }

    try {
        const std::string address = velka::idn::emailToAscii(input);
        const size_t at = input.find('@');
        if (at == std::string::npos)
            CHECK(address == input);
        else
            CHECK(address.compare(0, at + 1, input, 0, at + 1) == 0);
    } catch (const velka::idn::IdnaError &e) {
        checkError(e);
    }
    return 0;
}
