// libFuzzer target for base64: decodes arbitrary text into buffers of exactly the
// documented size, and encodes arbitrary bytes to check that they come back whole.
#include "fuzz/fuzz_support.h"
#include "mail/dovecot/authdb/base64.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Every decoder over the same text must agree on the bytes.
void checkDecoders(const char *text, size_t len) {
    // Exactly the documented room (malloc(0) may be null; one spare byte keeps it real
    // without hiding an overrun, which ASan reports past the requested size).
    size_t room = 3 * (len / 4);
    unsigned char *array = static_cast<unsigned char *>(malloc(room + 1));
    CHECK(array != nullptr);
    size_t array_len = base64ArrayDecode(text, len, array);
    CHECK(array_len <= room);
    // Only padding in the last complete group shortens the output.
    CHECK(room < 3 || array_len + 2 >= room);

    size_t c_len = strlen(text);
    if (c_len == len) {
        unsigned char *whole = static_cast<unsigned char *>(malloc(room + 1));
        CHECK(whole != nullptr);
        CHECK(base64Decode(text, whole) == array_len);
        CHECK(memcmp(whole, array, array_len) == 0);
        free(whole);

        size_t heap_len = SIZE_MAX;
        unsigned char *heap = b64_decode(text, &heap_len);
        CHECK(heap != nullptr);
        CHECK(heap_len == array_len);
        CHECK(memcmp(heap, array, array_len) == 0);
        CHECK(heap[heap_len] == 0);

        char *as_text = b64_decode_cstr(text);
        CHECK(as_text != nullptr);
        size_t text_len = strlen(as_text);
        CHECK(text_len <= heap_len);
        CHECK(memcmp(as_text, heap, text_len) == 0);
        CHECK(text_len == heap_len || heap[text_len] == 0);
        free(as_text);
        free(heap);
    }
    free(array);
}

void checkRoundTrip(const uint8_t *data, size_t size) {
    size_t expected = 4 * ((size + 2) / 3);
    char *encoded = b64_encode(data, size);
    CHECK(encoded != nullptr);
    CHECK(strlen(encoded) == expected);
    for (size_t i = 0; i < expected; ++i) {
        char ch = encoded[i];
        CHECK((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
              ch == '+' || ch == '/' || (ch == '=' && i + 2 >= expected));
    }

    char *fixed = static_cast<char *>(malloc(expected + 1));
    CHECK(fixed != nullptr);
    CHECK(base64Encode(data, size, fixed) == expected);
    CHECK(strcmp(fixed, encoded) == 0);
    free(fixed);

    size_t len = SIZE_MAX;
    unsigned char *decoded = b64_decode(encoded, &len);
    CHECK(decoded != nullptr);
    CHECK(len == size);
    CHECK(size == 0 || memcmp(decoded, data, size) == 0);
    free(decoded);
    free(encoded);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Exactly size + 1 bytes, so that a read past the terminator is caught.
    char *text = static_cast<char *>(malloc(size + 1));
    CHECK(text != nullptr);
    memcpy(text, data, size);
    text[size] = 0;
    checkDecoders(text, size);
    free(text);
    checkRoundTrip(data, size);
    return 0;
}
