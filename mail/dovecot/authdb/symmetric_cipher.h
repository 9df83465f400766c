/* One symmetric cipher over OpenSSL's EVP interface: cipher, key, IV and the
 * plain and encrypted buffers, kept together so that the contexts and buffers
 * are reused from one message to the next.
 *
 * Not thread-safe: a record belongs to one thread at a time. */
#ifndef VELKA_SYMMETRIC_CIPHER_H
#define VELKA_SYMMETRIC_CIPHER_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include <openssl/types.h>

#include "mail/dovecot/authdb/authdb_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Draw a fresh random IV before each encryption. */
#define SYMMETRIC_CIPHER_RANDOM_IV 0x1
/* No PKCS padding: the plain text is filled with zero bytes to a whole block
 * (one whole block when it is empty). */
#define SYMMETRIC_CIPHER_ZERO_FILL 0x4

#define SYMMETRIC_CIPHER_KEY_SIZE 64
#define SYMMETRIC_CIPHER_IV_SIZE 16
/* The longest plain or encrypted text a record accepts. */
#define SYMMETRIC_CIPHER_MAX_DATA 2147483646u

typedef struct symmetric_cipher {
    EVP_CIPHER_CTX *encrypt_ctx;                  /* created on the first encryption */
    EVP_CIPHER_CTX *decrypt_ctx;                  /* created on the first decryption */
    bool encrypt_ready;                           /* encrypt_ctx holds cipher and key */
    bool decrypt_ready;                           /* decrypt_ctx holds cipher and key */
    const EVP_CIPHER *cipher;                     /* AES-256-CBC unless changed */
    unsigned char key[SYMMETRIC_CIPHER_KEY_SIZE]; /* first key-length bytes used */
    unsigned char iv[SYMMETRIC_CIPHER_IV_SIZE];   /* the current IV */
    unsigned char *plain;                         /* plain_len bytes and a zero byte, or null */
    unsigned char *encrypted;                     /* encrypted_len bytes and a zero byte, or null */
    int32_t plain_len;
    int32_t encrypted_len;
    int32_t flags; /* SYMMETRIC_CIPHER_* bits */
} symmetric_cipher;

/* Zeroes the record and selects AES-256-CBC with a random IV per message.
 * Must precede every other call on the record. */
VELKA_AUTHDB_EXPORT void symmetric_cipher_init(symmetric_cipher *c);

/* Frees the contexts and buffers and wipes the record, key included. Returns
 * false only when resetting a context failed; true for a null record. */
VELKA_AUTHDB_EXPORT bool symmetric_cipher_cleanup(symmetric_cipher *c);

/* Stores the first key-length bytes of key. False with errno EINVAL when key is
 * null, len is below the cipher's key length or the key does not fit the record. */
VELKA_AUTHDB_EXPORT bool symmetric_cipher_set_key(symmetric_cipher *c, const void *key, size_t len);

/* Stores the first IV-length bytes of iv. False with errno EINVAL when iv is null,
 * len is below the cipher's IV length or the IV does not fit the record. */
VELKA_AUTHDB_EXPORT bool symmetric_cipher_set_iv(symmetric_cipher *c, const void *iv, size_t len);

/* The current IV (owned by the record) and its length in *len_r. */
VELKA_AUTHDB_EXPORT const unsigned char *symmetric_cipher_get_iv(const symmetric_cipher *c,
                                                                 size_t *len_r);

/* Copies a zero-terminated text into the plain buffer. False with errno EINVAL
 * for a null text or one longer than SYMMETRIC_CIPHER_MAX_DATA; false with the
 * buffer emptied when memory runs out. */
VELKA_AUTHDB_EXPORT bool symmetric_cipher_set_plain(symmetric_cipher *c, const char *text);

/* The plain buffer (owned by the record), or null when it is empty. */
VELKA_AUTHDB_EXPORT const char *symmetric_cipher_get_plain(const symmetric_cipher *c);

/* Copies len bytes into the encrypted buffer; as symmetric_cipher_set_plain. */
VELKA_AUTHDB_EXPORT bool symmetric_cipher_set_encrypted(symmetric_cipher *c, const void *data,
                                                        size_t len);

/* The encrypted buffer (owned by the record) and its length in *len_r, or null
 * when it is empty. */
VELKA_AUTHDB_EXPORT const unsigned char *symmetric_cipher_get_encrypted(const symmetric_cipher *c,
                                                                        size_t *len_r);

/* Encrypts the plain buffer into the encrypted buffer, drawing a new IV first
 * when SYMMETRIC_CIPHER_RANDOM_IV is set. False with errno EINVAL when there is
 * no cipher or no plain text; false when OpenSSL or memory fails. */
VELKA_AUTHDB_EXPORT bool encrypt_symmetric(symmetric_cipher *c);

/* Decrypts the encrypted buffer into the plain buffer with the current IV.
 * False with errno EINVAL when there is no cipher or no encrypted data; false
 * on a padding error and when OpenSSL or memory fails. */
VELKA_AUTHDB_EXPORT bool decrypt_symmetric(symmetric_cipher *c);

#ifdef __cplusplus
}
#endif

#endif
