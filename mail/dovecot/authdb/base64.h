/* Base64 with the standard alphabet of RFC 4648, "=" padding and no line
 * breaks, as the stored password format uses it.
 *
 * Decoding takes the text in complete groups of four characters and ignores
 * what follows the last complete group; "==" or "=" at the end of that group
 * shortens it to one or two bytes. Characters outside the alphabet are not
 * rejected: they count as zero bits. */
#ifndef VELKA_BASE64_H
#define VELKA_BASE64_H

#include <stddef.h>

#include "mail/dovecot/authdb/authdb_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Encodes len bytes into out, which must hold 4 * ((len + 2) / 3) + 1 bytes;
 * writes the characters and a zero byte and returns the character count. */
VELKA_AUTHDB_EXPORT size_t base64Encode(const void *data, size_t len, char *out);

/* Decodes the first len characters of text into out, which must hold
 * 3 * (len / 4) bytes; returns the byte count. Nothing is zero-terminated. */
VELKA_AUTHDB_EXPORT size_t base64ArrayDecode(const char *text, size_t len, void *out);

/* base64ArrayDecode over a whole zero-terminated text. */
VELKA_AUTHDB_EXPORT size_t base64Decode(const char *text, void *out);

/* A new zero-terminated encoding of len bytes, to be released with free(), or
 * null: errno EINVAL for null data with a non-zero length, EOVERFLOW when the
 * encoding could not be addressed, ENOMEM when memory runs out. */
VELKA_AUTHDB_EXPORT char *b64_encode(const void *data, size_t len);

/* A new buffer holding the decoded bytes of a zero-terminated text and one zero
 * byte after them, to be released with free(); the byte count goes to *len_r
 * when len_r is not null. Null with errno EINVAL for a null text, ENOMEM when
 * memory runs out. */
VELKA_AUTHDB_EXPORT unsigned char *b64_decode(const char *text, size_t *len_r);

/* b64_encode of a zero-terminated text (without its zero byte). */
VELKA_AUTHDB_EXPORT char *b64_encode_cstr(const char *text);

/* b64_decode for a caller that wants text back: the result ends at the first
 * zero byte, wherever the decoded data holds one. */
VELKA_AUTHDB_EXPORT char *b64_decode_cstr(const char *text);

#ifdef __cplusplus
}
#endif

#endif
