#include "authcheck/display_text.h"

#include <cstdint>
#include <cstdio>

namespace velka::authcheck {

namespace {

bool continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Length of the well-formed UTF-8 sequence at text[at] (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF) with its code point; 0 when the
// byte there begins none.
size_t sequenceAt(const std::string &text, size_t at, uint32_t *codePoint) {
    const auto byte = [&](size_t i) -> unsigned char {
        return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0;
    };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    }
    size_t length;
    unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return 0;
    }
    if (byte(1) < low || byte(1) > high)
        return 0;
    uint32_t value = lead & (0xFF >> (length + 1));
    for (size_t i = 1; i < length; ++i) {
        if (!continuation(byte(i)))
            return 0;
        value = (value << 6) | (byte(i) & 0x3F);
    }
    *codePoint = value;
    return length;
}

bool isControl(uint32_t codePoint) {
    return codePoint < 0x20 || (codePoint >= 0x7F && codePoint < 0xA0);
}

std::string formatted(const char *format, unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// text with each character as show(code point, its bytes) makes it; a stray
// byte comes as STRAY.
constexpr uint32_t STRAY = UINT32_MAX;

template <typename Show> std::string escaped(const std::string &text, Show show) {
    std::string out;
    for (size_t at = 0; at < text.size();) {
        uint32_t codePoint;
        size_t length = sequenceAt(text, at, &codePoint);
        if (length == 0) {
            codePoint = STRAY;
            length = 1;
        }
        out += show(codePoint, text.substr(at, length));
        at += length;
    }
    return out;
}

std::string strayByte(const std::string &byte) {
    return formatted("\\x%02X", static_cast<unsigned char>(byte[0]));
}

} // namespace

std::string terminalText(const std::string &text) {
    return escaped(text, [](uint32_t c, const std::string &bytes) {
        if (c == STRAY)
            return strayByte(bytes);
        if (isControl(c))
            return formatted(c < 0x80 ? "\\x%02X" : "\\u%04X", c);
        return bytes;
    });
}

std::string jsonString(const std::string &text) {
    return "\"" +
           escaped(text,
                   [](uint32_t c, const std::string &bytes) {
                       if (c == STRAY)
                           return "\\" + strayByte(bytes);
                       if (c == '"' || c == '\\')
                           return "\\" + bytes;
                       if (isControl(c))
                           return formatted("\\u%04x", c);
                       return bytes;
                   }) +
           "\"";
}

} // namespace velka::authcheck
