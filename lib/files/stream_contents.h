/* Whole streams and files read into heap buffers. Returned buffers are malloc'ed and
 * NUL-terminated; the caller frees them. A read error ends the reading like end of
 * stream; ferror(stream) tells them apart. */
#ifndef VELKA_FILES_STREAM_CONTENTS_H
#define VELKA_FILES_STREAM_CONTENTS_H

#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Reads stream to its end; its length (without the NUL) goes to *len when len is not
 * null. Null when memory runs out. */
char *get_stream_contents(FILE *stream, size_t *len);
/* The same for the file at path; null when it cannot be opened. */
char *get_file_contents(const char *path, size_t *len);
char *get_stream_contents_cstr(FILE *stream);

/* get_stream_contents() that gives up once more than limit bytes have come: null, and
 * *too_large (when not null) set to 1, with nothing read beyond the first byte too
 * many. *too_large is 0 otherwise. */
char *get_stream_contents_limited(FILE *stream, size_t limit, size_t *len, int *too_large);

#ifdef __cplusplus
}
#endif

#endif
