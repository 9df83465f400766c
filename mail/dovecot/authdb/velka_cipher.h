/* Named ciphers, each initialised once from a key file and shared through a
 * reference count, and the stored text format built on them:
 *
 *     "$" name "$" base64(IV) "$" base64(data)   ciphers with a random IV per message
 *     "$" name "$" base64(data)                  the others
 *
 * A name is an OpenSSL cipher name, optionally followed by ":" and options, at
 * most VELKA_CIPHER_NAME_MAX characters. "PKCS" among the options selects PKCS
 * padding; without it the plain text is zero-filled to a whole block and a
 * decrypted text ends at its first zero byte.
 *
 * The registry is process-wide and not thread-safe. What is left in it is
 * released when the library is unloaded or the process exits. */
#ifndef VELKA_CIPHER_H
#define VELKA_CIPHER_H

#include <stdbool.h>

#include "mail/dovecot/authdb/authdb_export.h"
#include "mail/dovecot/authdb/symmetric_cipher.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VELKA_CIPHER_NAME_MAX 31

/* One registry entry; the registry is a singly linked list, newest first. */
typedef struct velka_cipher_entry {
    char name[VELKA_CIPHER_NAME_MAX + 1];
    symmetric_cipher cipher;
    int refcount; /* 1 or more while the entry is listed */
    struct velka_cipher_entry *next;
} velka_cipher_entry;

/* Takes a reference on the cipher called name, creating it with the first
 * key-length bytes of the file key_path when it does not exist yet. False
 * after logging the reason when the name is unknown, the key file is missing or
 * short, or memory runs out; a failure leaves the registry as it was. */
VELKA_AUTHDB_EXPORT bool velka_cipher_init(const char *name, const char *key_path);

/* Drops one reference. False while other references remain (and when the
 * last one's clean-up failed); true when the entry was destroyed, and also,
 * after logging, when there was no such entry. */
VELKA_AUTHDB_EXPORT bool velka_cipher_cleanup(const char *name);

/* velka_cipher_crypt(plain, "$" name). */
VELKA_AUTHDB_EXPORT char *velka_cipher_encrypt(const char *name, const char *plain);

/* Encrypts plain into a new stored text, to be released with free(). spec is
 * "$" and a cipher name, optionally followed by "$", a base64 IV and "$" to
 * encrypt under that IV instead of a random one. Null with errno EINVAL for a
 * missing or malformed argument, ENOENT when the cipher is not initialised,
 * and null when encryption or memory fails. */
VELKA_AUTHDB_EXPORT char *velka_cipher_crypt(const char *plain, const char *spec);

/* Decrypts a stored text into a new zero-terminated plain text, to be released
 * with free(). Null with errno EINVAL for a missing or malformed text, ENOENT
 * when its cipher is not initialised, EILSEQ when the plain text holds a zero
 * byte that is not zero filling (it cannot be returned whole), and null when
 * decryption fails (a wrong key usually shows as a padding error). */
VELKA_AUTHDB_EXPORT char *velka_cipher_decrypt(const char *text);

#ifdef __cplusplus
}
#endif

#endif
