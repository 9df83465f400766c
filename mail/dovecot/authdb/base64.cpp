// Base64 coding (RFC 4648 alphabet, "=" padding, no line breaks).
#include "mail/dovecot/authdb/base64.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Six-bit value of each character; characters outside the alphabet, "="
// included, decode to zero.
struct DecodeTable {
    unsigned char value[256] = {};
    constexpr DecodeTable() {
        for (int i = 0; i < 64; ++i)
            value[static_cast<unsigned char>(ALPHABET[i])] = static_cast<unsigned char>(i);
    }
};
constexpr DecodeTable DECODE;

unsigned sextet(char ch) {
    return DECODE.value[static_cast<unsigned char>(ch)];
}

// The largest input whose encoding and terminator can be addressed.
constexpr size_t MAX_ENCODE_INPUT = (SIZE_MAX - 1) / 4 * 3 - 2;

} // namespace

size_t base64Encode(const void *data, size_t len, char *out) {
    const unsigned char *in = static_cast<const unsigned char *>(data);
    char *p = out;
    for (; len >= 3; len -= 3, in += 3) {
        uint32_t v = static_cast<uint32_t>(in[0]) << 16 | static_cast<uint32_t>(in[1]) << 8 | in[2];
        *p++ = ALPHABET[v >> 18];
        *p++ = ALPHABET[(v >> 12) & 63];
        *p++ = ALPHABET[(v >> 6) & 63];
        *p++ = ALPHABET[v & 63];
    }
    if (len > 0) {
        uint32_t v = static_cast<uint32_t>(in[0]) << 16;
        if (len == 2)
            v |= static_cast<uint32_t>(in[1]) << 8;
        *p++ = ALPHABET[v >> 18];
        *p++ = ALPHABET[(v >> 12) & 63];
        *p++ = len == 2 ? ALPHABET[(v >> 6) & 63] : '=';
        *p++ = '=';
    }
    *p = 0;
    return static_cast<size_t>(p - out);
}

size_t base64ArrayDecode(const char *text, size_t len, void *out) {
    unsigned char *p = static_cast<unsigned char *>(out);
    const size_t groups = len / 4;
    for (size_t g = 0; g < groups; ++g, text += 4) {
        uint32_t v =
            sextet(text[0]) << 18 | sextet(text[1]) << 12 | sextet(text[2]) << 6 | sextet(text[3]);
        size_t bytes = 3;
        if (g + 1 == groups && text[3] == '=')
            bytes = text[2] == '=' ? 1 : 2;
        *p++ = static_cast<unsigned char>(v >> 16);
        if (bytes > 1)
            *p++ = static_cast<unsigned char>(v >> 8);
        if (bytes > 2)
            *p++ = static_cast<unsigned char>(v);
    }
    return static_cast<size_t>(p - static_cast<unsigned char *>(out));
}

size_t base64Decode(const char *text, void *out) {
    return base64ArrayDecode(text, strlen(text), out);
}

char *b64_encode(const void *data, size_t len) {
    if (data == nullptr && len > 0) {
        errno = EINVAL;
        return nullptr;
    }
    if (len > MAX_ENCODE_INPUT) {
        errno = EOVERFLOW;
        return nullptr;
    }
    char *out = static_cast<char *>(malloc(4 * ((len + 2) / 3) + 1));
    if (out == nullptr)
        return nullptr;
    base64Encode(data, len, out);
    return out;
}

unsigned char *b64_decode(const char *text, size_t *len_r) {
    if (text == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    const size_t len = strlen(text);
    // Room for every complete group and the zero byte, computed without the
    // len + 3 that could wrap.
    unsigned char *out = static_cast<unsigned char *>(malloc(len / 4 * 3 + 4));
    if (out == nullptr)
        return nullptr;
    size_t n = base64ArrayDecode(text, len, out);
    out[n] = 0;
    if (len_r != nullptr)
        *len_r = n;
    return out;
}

char *b64_encode_cstr(const char *text) {
    if (text == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return b64_encode(text, strlen(text));
}

char *b64_decode_cstr(const char *text) {
    return reinterpret_cast<char *>(b64_decode(text, nullptr));
}
