// One symmetric cipher record over OpenSSL's EVP interface: key and IV handling,
// buffer management and the encryption and decryption of one message.
#include "mail/dovecot/authdb/symmetric_cipher.h"

#include "lib/log/velka_log.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

const unsigned char ZERO_BLOCK[EVP_MAX_BLOCK_LENGTH] = {};

size_t keyLength(const EVP_CIPHER *cipher) {
    return static_cast<size_t>(EVP_CIPHER_get_key_length(cipher));
}

size_t ivLength(const EVP_CIPHER *cipher) {
    return static_cast<size_t>(EVP_CIPHER_get_iv_length(cipher));
}

// Key and IV go to OpenSSL straight from the record's arrays, which OpenSSL
// reads for the cipher's full lengths.
bool fitsRecord(const EVP_CIPHER *cipher) {
    return keyLength(cipher) <= SYMMETRIC_CIPHER_KEY_SIZE &&
           ivLength(cipher) <= SYMMETRIC_CIPHER_IV_SIZE;
}

// Whether len bytes at material are enough for what length() asks of c's
// cipher, and the record can hold it; EINVAL when not.
bool acceptsMaterial(const symmetric_cipher *c, const void *material, size_t len,
                     size_t (*length)(const EVP_CIPHER *)) {
    if (c != nullptr && c->cipher != nullptr && material != nullptr && len >= length(c->cipher) &&
        fitsRecord(c->cipher))
        return true;
    errno = EINVAL;
    return false;
}

// Passwords pass through these buffers, so a buffer is wiped before it is freed.
void wipeBuffer(unsigned char **buf, int32_t *len, size_t size) {
    if (*buf != nullptr) {
        OPENSSL_cleanse(*buf, size);
        free(*buf);
    }
    *buf = nullptr;
    *len = 0;
}

// Gives *buf a fresh allocation of size bytes; the old content (len bytes and
// its zero byte) is wiped. On failure the buffer is gone and the length 0.
bool resizeBuffer(unsigned char **buf, int32_t *len, size_t size) {
    unsigned char *fresh = static_cast<unsigned char *>(malloc(size));
    wipeBuffer(buf, len, static_cast<size_t>(*len) + 1);
    *buf = fresh;
    return fresh != nullptr;
}

bool storeData(unsigned char **buf, int32_t *len, const void *data, size_t size, const char *what) {
    if (size > SYMMETRIC_CIPHER_MAX_DATA) {
        velka_log(4,
                  "Attempt to feed into symmetric cipher more %s data (%zu bytes) than it's "
                  "designed to handle.",
                  what, size);
        errno = EINVAL;
        return false;
    }
    // Allocate before releasing the old buffer: data may point into it.
    unsigned char *fresh = static_cast<unsigned char *>(malloc(size + 1));
    if (fresh != nullptr && size > 0)
        memcpy(fresh, data, size);
    wipeBuffer(buf, len, static_cast<size_t>(*len) + 1);
    if (fresh == nullptr)
        return false;
    fresh[size] = 0;
    *buf = fresh;
    *len = static_cast<int32_t>(size);
    return true;
}

// The first use of a context loads cipher and key; later uses change the IV only.
bool initContext(symmetric_cipher *c, EVP_CIPHER_CTX **ctx, bool *ready, int enc) {
    if (*ctx == nullptr) {
        *ctx = EVP_CIPHER_CTX_new();
        if (*ctx == nullptr)
            return false;
        *ready = false;
    }
    const bool zero_fill = (c->flags & SYMMETRIC_CIPHER_ZERO_FILL) != 0;
    if (!*ready) {
        *ready = EVP_CipherInit_ex(*ctx, c->cipher, nullptr, c->key, c->iv, enc) == 1 &&
                 EVP_CIPHER_CTX_set_padding(*ctx, zero_fill ? 0 : 1) == 1;
        return *ready;
    }
    if (EVP_CipherInit_ex(*ctx, nullptr, nullptr, nullptr, c->iv, enc) != 1)
        return false;
    // The padding setting survives an IV-only re-initialisation; setting it again
    // costs a provider call, so only a changed flag is passed on.
    if ((EVP_CIPHER_CTX_test_flags(*ctx, EVP_CIPH_NO_PADDING) != 0) != zero_fill)
        return EVP_CIPHER_CTX_set_padding(*ctx, zero_fill ? 0 : 1) == 1;
    return true;
}

// Every length below is bounded so that the int counts OpenSSL takes and returns,
// and the record's 32-bit lengths, cannot overflow.
bool lengthFits(int32_t len, int block) {
    return len >= 0 && static_cast<long long>(len) <= INT32_MAX - 2LL * block - 1;
}

// The block size of c's cipher when c is ready to encrypt its plain text (or
// decrypt its encrypted text); 0 with errno set when it is not.
int blockForInput(const symmetric_cipher *c, bool encrypt) {
    if (c == nullptr || c->cipher == nullptr || (encrypt ? c->plain : c->encrypted) == nullptr ||
        !fitsRecord(c->cipher)) {
        errno = EINVAL;
        return 0;
    }
    const int block = EVP_CIPHER_get_block_size(c->cipher);
    if (!lengthFits(encrypt ? c->plain_len : c->encrypted_len, block)) {
        errno = EOVERFLOW;
        return 0;
    }
    return block;
}

} // namespace

void symmetric_cipher_init(symmetric_cipher *c) {
    memset(c, 0, sizeof *c);
    c->cipher = EVP_aes_256_cbc();
    c->flags = SYMMETRIC_CIPHER_RANDOM_IV;
}

bool symmetric_cipher_cleanup(symmetric_cipher *c) {
    if (c == nullptr)
        return true;
    bool ok = true;
    for (EVP_CIPHER_CTX *ctx : {c->encrypt_ctx, c->decrypt_ctx}) {
        if (ctx == nullptr)
            continue;
        if (EVP_CIPHER_CTX_reset(ctx) != 1)
            ok = false;
        EVP_CIPHER_CTX_free(ctx);
    }
    wipeBuffer(&c->plain, &c->plain_len, static_cast<size_t>(c->plain_len) + 1);
    wipeBuffer(&c->encrypted, &c->encrypted_len, static_cast<size_t>(c->encrypted_len) + 1);
    OPENSSL_cleanse(c, sizeof *c);
    return ok;
}

bool symmetric_cipher_set_key(symmetric_cipher *c, const void *key, size_t len) {
    if (!acceptsMaterial(c, key, len, keyLength))
        return false;
    memcpy(c->key, key, keyLength(c->cipher));
    // The contexts hold the old key; make the next use load the new one.
    c->encrypt_ready = false;
    c->decrypt_ready = false;
    return true;
}

bool symmetric_cipher_set_iv(symmetric_cipher *c, const void *iv, size_t len) {
    if (!acceptsMaterial(c, iv, len, ivLength))
        return false;
    memcpy(c->iv, iv, ivLength(c->cipher));
    return true;
}

const unsigned char *symmetric_cipher_get_iv(const symmetric_cipher *c, size_t *len_r) {
    if (c == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (len_r != nullptr) {
        size_t len = c->cipher != nullptr ? ivLength(c->cipher) : 0;
        *len_r = len <= SYMMETRIC_CIPHER_IV_SIZE ? len : SYMMETRIC_CIPHER_IV_SIZE;
    }
    return c->iv;
}

bool symmetric_cipher_set_plain(symmetric_cipher *c, const char *text) {
    if (c == nullptr || text == nullptr) {
        errno = EINVAL;
        return false;
    }
    return storeData(&c->plain, &c->plain_len, text, strlen(text), "plain");
}

const char *symmetric_cipher_get_plain(const symmetric_cipher *c) {
    if (c == nullptr || c->plain_len == 0)
        return nullptr;
    return reinterpret_cast<const char *>(c->plain);
}

bool symmetric_cipher_set_encrypted(symmetric_cipher *c, const void *data, size_t len) {
    if (c == nullptr || (data == nullptr && len > 0)) {
        errno = EINVAL;
        return false;
    }
    return storeData(&c->encrypted, &c->encrypted_len, data, len, "encrypted");
}

const unsigned char *symmetric_cipher_get_encrypted(const symmetric_cipher *c, size_t *len_r) {
    if (c == nullptr || c->encrypted_len == 0)
        return nullptr;
    if (len_r != nullptr)
        *len_r = static_cast<size_t>(c->encrypted_len);
    return c->encrypted;
}

bool encrypt_symmetric(symmetric_cipher *c) {
    const int block = blockForInput(c, true);
    if (block == 0)
        return false;
    const int plain_len = c->plain_len;
    // Padding or zero fill adds at most one block; one more block of slack is what
    // OpenSSL's documentation asks of an output buffer.
    if (!resizeBuffer(&c->encrypted, &c->encrypted_len,
                      static_cast<size_t>(plain_len) + 2 * block + 1))
        return false;
    c->encrypted[0] = 0;

    if ((c->flags & SYMMETRIC_CIPHER_RANDOM_IV) &&
        RAND_bytes(c->iv, static_cast<int>(ivLength(c->cipher))) != 1)
        return false;
    if (!initContext(c, &c->encrypt_ctx, &c->encrypt_ready, 1))
        return false;

    int total = 0;
    int n = 0;
    if (plain_len > 0) {
        if (EVP_EncryptUpdate(c->encrypt_ctx, c->encrypted, &n, c->plain, plain_len) != 1)
            return false;
        total = n;
    }
    if (c->flags & SYMMETRIC_CIPHER_ZERO_FILL) {
        int partial = plain_len % block;
        if (plain_len == 0 || partial != 0) {
            if (EVP_EncryptUpdate(c->encrypt_ctx, c->encrypted + total, &n, ZERO_BLOCK,
                                  block - partial) != 1)
                return false;
            total += n;
        }
    }
    if (EVP_EncryptFinal_ex(c->encrypt_ctx, c->encrypted + total, &n) != 1)
        return false;
    total += n;
    c->encrypted[total] = 0;
    c->encrypted_len = total;
    return true;
}

bool decrypt_symmetric(symmetric_cipher *c) {
    const int block = blockForInput(c, false);
    if (block == 0)
        return false;
    const size_t size = static_cast<size_t>(c->encrypted_len) + block + 1;
    if (!resizeBuffer(&c->plain, &c->plain_len, size))
        return false;

    int total = 0;
    int n = 0;
    bool ok = initContext(c, &c->decrypt_ctx, &c->decrypt_ready, 0);
    if (ok && c->encrypted_len > 0) {
        ok = EVP_DecryptUpdate(c->decrypt_ctx, c->plain, &n, c->encrypted, c->encrypted_len) == 1;
        total = n;
    }
    if (ok) {
        ok = EVP_DecryptFinal_ex(c->decrypt_ctx, c->plain + total, &n) == 1;
        total += n;
    }
    if (!ok) {
        // A failed decryption may still have produced most of the text.
        wipeBuffer(&c->plain, &c->plain_len, size);
        return false;
    }
    c->plain[total] = 0;
    c->plain_len = total;
    return true;
}
