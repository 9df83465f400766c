// The mail password cipher: the registry's "AES-256-CBC:PKCS" entry and its key.
#include "mail/dovecot/authdb/mail_aes.h"

#include "mail/dovecot/authdb/velka_cipher.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstring>

static_assert(sizeof(MAIL_AES_PREFIX) - 1 == 18, "stored texts are recognised by 18 characters");

bool mail_aes_init(const char *key_path) {
    return velka_cipher_init(MAIL_AES_CIPHER_NAME, key_path);
}

bool mail_aes_cleanup(void) {
    return velka_cipher_cleanup(MAIL_AES_CIPHER_NAME);
}

char *mail_aes_encrypt(const char *plain) {
    return velka_cipher_encrypt(MAIL_AES_CIPHER_NAME, plain);
}

char *mail_aes_decrypt(const char *text) {
    if (!is_encrypted_with_mail_aes(text)) {
        errno = EINVAL;
        return nullptr;
    }
    return velka_cipher_decrypt(text);
}

bool is_encrypted_with_mail_aes(const char *text) {
    return text != nullptr && strncmp(text, MAIL_AES_PREFIX, sizeof(MAIL_AES_PREFIX) - 1) == 0;
}

size_t mail_aes_gen_key(void *buffer, size_t size) {
    const int key_len = EVP_CIPHER_get_key_length(EVP_aes_256_cbc());
    if (buffer == nullptr || size < static_cast<size_t>(key_len)) {
        errno = EINVAL;
        return 0;
    }
    if (RAND_bytes(static_cast<unsigned char *>(buffer), key_len) != 1)
        return 0;
    return static_cast<size_t>(key_len);
}
