// Whole streams read into buffers that double when full, up to an optional limit.
#include "lib/files/stream_contents.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr size_t FIRST_BUFFER_SIZE = 1024;

} // namespace

extern "C" {

char *get_stream_contents_limited(FILE *stream, size_t limit, size_t *len, int *too_large) {
    if (too_large)
        *too_large = 0;
    // Room for one byte beyond the limit, which tells a stream of exactly the limit
    // from a longer one, and for the NUL.
    const size_t most = limit <= SIZE_MAX - 2 ? limit + 2 : SIZE_MAX;
    size_t capacity = std::min(FIRST_BUFFER_SIZE, most);
    size_t length = 0;
    char *buffer = static_cast<char *>(malloc(capacity));
    while (buffer != nullptr) {
        length += fread(buffer + length, 1, capacity - length - 1, stream);
        if (feof(stream) || ferror(stream)) {
            buffer[length] = '\0';
            if (len)
                *len = length;
            return buffer;
        }
        if (length > limit) {
            if (too_large)
                *too_large = 1;
            break;
        }
        if (length + 1 < capacity)
            continue;
        if (capacity == most)
            break;
        capacity = capacity <= most / 2 ? capacity * 2 : most;
        char *grown = static_cast<char *>(realloc(buffer, capacity));
        if (grown == nullptr)
            break;
        buffer = grown;
    }
    free(buffer);
    return nullptr;
}

char *get_stream_contents(FILE *stream, size_t *len) {
    return get_stream_contents_limited(stream, SIZE_MAX, len, nullptr);
}

char *get_file_contents(const char *path, size_t *len) {
    FILE *file = fopen(path, "r");
    if (!file)
        return nullptr;
    char *contents = get_stream_contents(file, len);
    fclose(file);
    return contents;
}

char *get_stream_contents_cstr(FILE *stream) {
    return get_stream_contents(stream, nullptr);
}

} // extern "C"
