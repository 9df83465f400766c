/* The mail password cipher: AES-256-CBC with PKCS padding and a random IV per
 * password, keyed from the mail authentication key file. Stored texts look like
 * "$AES-256-CBC:PKCS$" base64(IV) "$" base64(cipher text).
 *
 * Thin wrappers over the named cipher registry (velka_cipher.h); the same
 * ownership and failure rules apply. */
#ifndef VELKA_MAIL_AES_H
#define VELKA_MAIL_AES_H

#include <stdbool.h>
#include <stddef.h>

#include "mail/dovecot/authdb/authdb_export.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MAIL_AES_CIPHER_NAME "AES-256-CBC:PKCS"
#define MAIL_AES_PREFIX "$AES-256-CBC:PKCS$"
#define MAIL_AES_KEY_LENGTH 32

/* Takes a reference on the mail cipher, reading the key file on first use.
 * False after logging when the key file cannot be read or is short. */
VELKA_AUTHDB_EXPORT bool mail_aes_init(const char *key_path);

/* Drops the reference taken by mail_aes_init (see velka_cipher_cleanup). */
VELKA_AUTHDB_EXPORT bool mail_aes_cleanup(void);

/* A new stored text for plain, to be released with free(), or null. */
VELKA_AUTHDB_EXPORT char *mail_aes_encrypt(const char *plain);

/* A new plain text, to be released with free(), or null. Null with errno EINVAL
 * and without touching the registry when text is null or not a stored text of
 * this cipher. */
VELKA_AUTHDB_EXPORT char *mail_aes_decrypt(const char *text);

/* True when text begins with MAIL_AES_PREFIX. */
VELKA_AUTHDB_EXPORT bool is_encrypted_with_mail_aes(const char *text);

/* Fills buffer with a new random key of MAIL_AES_KEY_LENGTH bytes and returns
 * that length; 0 with errno EINVAL when buffer is null or size is smaller, and
 * 0 when the random generator fails. */
VELKA_AUTHDB_EXPORT size_t mail_aes_gen_key(void *buffer, size_t size);

#ifdef __cplusplus
}
#endif

#endif
