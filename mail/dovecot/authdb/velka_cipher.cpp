// The process-wide registry of named ciphers and the stored text format.
#include "mail/dovecot/authdb/velka_cipher.h"

#include "lib/log/velka_log.h"
#include "mail/dovecot/authdb/base64.h"
#include "mail/dovecot/authdb/velka_cipher_record.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

velka_cipher_entry *registry = nullptr;
bool registryCleanupRegistered = false;

struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};
template <typename T> using MallocPtr = std::unique_ptr<T, FreeDeleter>;

velka_cipher_entry *findEntry(std::string_view name) {
    for (velka_cipher_entry *e = registry; e != nullptr; e = e->next)
        if (name == e->name)
            return e;
    return nullptr;
}

// Runs at unload of the library or exit of the process, whichever comes first.
void destroyRegistry() {
    while (registry != nullptr) {
        velka_cipher_entry *e = registry;
        registry = e->next;
        e->name[0] = 0;
        symmetric_cipher_cleanup(&e->cipher);
        free(e);
    }
}

void registerRegistryCleanup() {
    if (registryCleanupRegistered)
        return;
    // OpenSSL registers its own exit handler when it initialises. Initialising it
    // first makes our handler run before OpenSSL's, while contexts can still be freed.
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS, nullptr);
    // atexit() from a shared object also runs when the object is unloaded.
    if (atexit(destroyRegistry) == 0)
        registryCleanupRegistered = true;
}

bool releaseEntry(const char *name) {
    velka_cipher_entry **link = &registry;
    while (*link != nullptr && strcmp((*link)->name, name) != 0)
        link = &(*link)->next;
    velka_cipher_entry *e = *link;
    if (e == nullptr || e->refcount <= 0) {
        velka_log(6, "Failed to correctly destroy encryption cipher '%s'. A programming error?",
                  name);
        return true;
    }
    if (e->refcount > 1) {
        --e->refcount;
        return false;
    }
    *link = e->next;
    bool ok = symmetric_cipher_cleanup(&e->cipher);
    free(e);
    return ok;
}

bool readKey(const char *path, unsigned char *key, size_t len) {
    FILE *f = fopen(path, "rbe");
    if (f == nullptr) {
        int err = errno;
        velka_log(3, "Can't read encryption key from '%s': %s (%d)", path, strerror(err), err);
        return false;
    }
    // No stdio buffer, so that no copy of the key stays behind in freed memory.
    setvbuf(f, nullptr, _IONBF, 0);
    size_t got = fread(key, 1, len, f);
    int err = ferror(f) ? errno : ENODATA;
    fclose(f);
    if (got != len) {
        velka_log(3, "Failed to read entire encryption key from '%s': %s (%d)", path, strerror(err),
                  err);
        return false;
    }
    return true;
}

bool createEntry(const char *name, const char *key_path) {
    const char *options = strchr(name, ':');
    int32_t flags = SYMMETRIC_CIPHER_RANDOM_IV;
    if (options == nullptr || strstr(options + 1, "PKCS") == nullptr)
        flags |= SYMMETRIC_CIPHER_ZERO_FILL;

    // A "$" would make the stored texts unreadable.
    size_t name_len = strlen(name);
    if (name_len > VELKA_CIPHER_NAME_MAX || strchr(name, '$') != nullptr) {
        velka_log(3, "Unknown encryption cipher: '%s'", name);
        return false;
    }
    registerRegistryCleanup();

    char base[VELKA_CIPHER_NAME_MAX + 1];
    size_t base_len = options != nullptr ? static_cast<size_t>(options - name) : name_len;
    memcpy(base, name, base_len);
    base[base_len] = 0;
    const EVP_CIPHER *cipher = EVP_get_cipherbyname(base);
    if (cipher == nullptr) {
        velka_log(3, "Unknown encryption cipher: '%s'", name);
        return false;
    }
    const int key_len = EVP_CIPHER_get_key_length(cipher);
    if (key_len > SYMMETRIC_CIPHER_KEY_SIZE) {
        velka_log(2, "Not enough space supplied to read encryption key data from '%s'", key_path);
        return false;
    }
    if (EVP_CIPHER_get_iv_length(cipher) > SYMMETRIC_CIPHER_IV_SIZE) {
        velka_log(3, "Failed to create encryption cipher '%s'. Invalid key or IV length?", name);
        return false;
    }

    unsigned char key[SYMMETRIC_CIPHER_KEY_SIZE];
    bool ok = readKey(key_path, key, static_cast<size_t>(key_len));
    velka_cipher_entry *e = nullptr;
    if (ok)
        e = static_cast<velka_cipher_entry *>(calloc(1, sizeof *e));
    if (e == nullptr) {
        OPENSSL_cleanse(key, sizeof key);
        return false;
    }
    e->next = registry;
    registry = e;
    symmetric_cipher_init(&e->cipher);
    e->cipher.flags = flags;
    e->cipher.cipher = cipher;
    ok = symmetric_cipher_set_key(&e->cipher, key, static_cast<size_t>(key_len));
    OPENSSL_cleanse(key, sizeof key);
    memcpy(e->name, name, name_len + 1);
    e->refcount = 1;
    if (!ok) {
        velka_log(3, "Failed to create encryption cipher '%s'. Invalid key or IV length?", name);
        OPENSSL_cleanse(e->cipher.key, sizeof e->cipher.key);
        if (!releaseEntry(name))
            velka_log(6, "Failed to clean up cipher context after unsuccessfull construction");
        return false;
    }
    return true;
}

// Decodes base64 text into a new buffer; *len_r gets the byte count.
MallocPtr<unsigned char> decode(std::string_view text, size_t *len_r) {
    MallocPtr<unsigned char> out(static_cast<unsigned char *>(malloc(text.size() / 4 * 3 + 1)));
    if (out)
        *len_r = base64ArrayDecode(text.data(), text.size(), out.get());
    return out;
}

bool setIvFromText(symmetric_cipher *c, std::string_view text) {
    // Only the first IV-length bytes are used; a longer text is decoded no
    // further than this buffer.
    unsigned char iv[SYMMETRIC_CIPHER_IV_SIZE * 3];
    std::string_view head = text.substr(0, sizeof iv / 3 * 4);
    return symmetric_cipher_set_iv(c, iv, base64ArrayDecode(head.data(), head.size(), iv));
}

// "$" name ["$" iv] "$" data, as a new text.
char *joinStored(std::string_view name, const std::string_view *iv, std::string_view data) {
    size_t fixed = 1 + name.size() + 1 + 1 + (iv != nullptr ? 1 : 0);
    size_t iv_size = iv != nullptr ? iv->size() : 0;
    if (data.size() > SIZE_MAX - fixed || iv_size > SIZE_MAX - fixed - data.size()) {
        errno = EOVERFLOW;
        return nullptr;
    }
    char *out = static_cast<char *>(malloc(fixed + iv_size + data.size()));
    if (out == nullptr)
        return nullptr;
    char *p = out;
    *p++ = '$';
    p = static_cast<char *>(mempcpy(p, name.data(), name.size()));
    *p++ = '$';
    if (iv != nullptr) {
        p = static_cast<char *>(mempcpy(p, iv->data(), iv->size()));
        *p++ = '$';
    }
    p = static_cast<char *>(mempcpy(p, data.data(), data.size()));
    *p = 0;
    return out;
}

// The record keeps its buffers between messages; the password need not stay.
void forgetPlain(symmetric_cipher *c) {
    if (c->plain == nullptr)
        return;
    OPENSSL_cleanse(c->plain, static_cast<size_t>(c->plain_len) + 1);
    c->plain_len = 0;
}

// Whether the decrypted text is all there up to its first zero byte: beyond
// it only zero filling may follow. A text with a zero byte inside would be cut
// there, and a password that is only its first part would match.
bool wholeText(const symmetric_cipher *c) {
    const size_t len = strlen(reinterpret_cast<const char *>(c->plain));
    const size_t total = static_cast<size_t>(c->plain_len);
    if ((c->flags & SYMMETRIC_CIPHER_ZERO_FILL) == 0
            ? len == total
            : std::all_of(c->plain + len, c->plain + total, [](unsigned char b) { return b == 0; }))
        return true;
    errno = EILSEQ;
    return false;
}

char *cryptWith(symmetric_cipher *c, std::string_view name, std::string_view iv_text,
                const char *plain) {
    if (!symmetric_cipher_set_plain(c, plain))
        return nullptr;

    const bool random_iv = (c->flags & SYMMETRIC_CIPHER_RANDOM_IV) != 0;
    bool ok;
    if (random_iv && !iv_text.empty()) {
        ok = setIvFromText(c, iv_text);
        if (ok) {
            c->flags &= ~SYMMETRIC_CIPHER_RANDOM_IV;
            ok = encrypt_symmetric(c);
            c->flags |= SYMMETRIC_CIPHER_RANDOM_IV;
        }
    } else {
        ok = encrypt_symmetric(c);
    }
    forgetPlain(c);
    if (!ok)
        return nullptr;

    MallocPtr<char> data(b64_encode(c->encrypted, static_cast<size_t>(c->encrypted_len)));
    if (!data)
        return nullptr;
    if (!random_iv)
        return joinStored(name, nullptr, data.get());
    if (!iv_text.empty())
        return joinStored(name, &iv_text, data.get());
    size_t iv_len = 0;
    const unsigned char *iv = symmetric_cipher_get_iv(c, &iv_len);
    MallocPtr<char> iv_b64(b64_encode(iv, iv_len));
    if (!iv_b64)
        return nullptr;
    std::string_view used_iv(iv_b64.get());
    return joinStored(name, &used_iv, data.get());
}

bool splitStored(const char *text, std::string_view *name, std::string_view *iv_text,
                 std::string_view *data) {
    if (text == nullptr || text[0] != '$') {
        errno = EINVAL;
        return false;
    }
    std::string_view rest(text + 1);
    size_t second = rest.find('$');
    if (second == std::string_view::npos) {
        errno = EINVAL;
        return false;
    }
    *name = rest.substr(0, second);
    size_t last = rest.rfind('$');
    // With two "$" only, the text after the second one is both IV and data.
    *iv_text =
        last == second ? rest.substr(second + 1) : rest.substr(second + 1, last - second - 1);
    *data = rest.substr(last + 1);
    return true;
}

char *decryptWith(symmetric_cipher *c, std::string_view iv_text, std::string_view data) {
    // An empty IV text fails here too, or the data would be read with whatever
    // IV the previous message left behind.
    if ((c->flags & SYMMETRIC_CIPHER_RANDOM_IV) && !setIvFromText(c, iv_text))
        return nullptr;

    size_t data_len = 0;
    MallocPtr<unsigned char> bytes = decode(data, &data_len);
    if (!bytes || !symmetric_cipher_set_encrypted(c, bytes.get(), data_len) ||
        !decrypt_symmetric(c))
        return nullptr;
    char *plain = wholeText(c) ? strdup(reinterpret_cast<const char *>(c->plain)) : nullptr;
    forgetPlain(c);
    return plain;
}

} // namespace

bool velka_cipher_init(const char *name, const char *key_path) {
    if (name == nullptr || key_path == nullptr) {
        errno = EINVAL;
        return false;
    }
    if (velka_cipher_entry *e = findEntry(name)) {
        ++e->refcount;
        return true;
    }
    if (!createEntry(name, key_path)) {
        velka_log(3, "Failed to initialize encryption cipher '%s' with key '%s'", name, key_path);
        return false;
    }
    return true;
}

bool velka_cipher_cleanup(const char *name) {
    return releaseEntry(name != nullptr ? name : "");
}

char *velka_cipher_encrypt(const char *name, const char *plain) {
    if (name == nullptr || plain == nullptr || strlen(name) > VELKA_CIPHER_NAME_MAX) {
        errno = EINVAL;
        return nullptr;
    }
    char spec[VELKA_CIPHER_NAME_MAX + 2] = "$";
    strcat(spec, name);
    return velka_cipher_crypt(plain, spec);
}

char *velka_cipher_crypt(const char *plain, const char *spec) {
    if (plain == nullptr || spec == nullptr || spec[0] != '$') {
        errno = EINVAL;
        return nullptr;
    }
    std::string_view rest(spec + 1);
    size_t name_end = rest.find('$');
    std::string_view name = rest.substr(0, name_end);
    std::string_view iv_text;
    if (name_end != std::string_view::npos) {
        size_t last = rest.rfind('$');
        if (last > name_end)
            iv_text = rest.substr(name_end + 1, last - name_end - 1);
    }
    velka_cipher_entry *e = findEntry(name);
    if (e == nullptr) {
        errno = ENOENT;
        return nullptr;
    }
    return cryptWith(&e->cipher, name, iv_text, plain);
}

char *velka_cipher_decrypt(const char *text) {
    std::string_view name, iv_text, data;
    if (!splitStored(text, &name, &iv_text, &data))
        return nullptr;
    velka_cipher_entry *e = findEntry(name);
    if (e == nullptr) {
        errno = ENOENT;
        return nullptr;
    }
    return decryptWith(&e->cipher, iv_text, data);
}

namespace velka::mail::authdb {

char *encryptWithRecord(symmetric_cipher *c, const char *name, const char *plain) {
    if (c == nullptr || name == nullptr || plain == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return cryptWith(c, name, {}, plain);
}

char *decryptWithRecord(symmetric_cipher *c, const char *name, const char *text) {
    std::string_view text_name, iv_text, data;
    if (c == nullptr || name == nullptr || !splitStored(text, &text_name, &iv_text, &data))
        return nullptr;
    if (text_name != name) {
        errno = EINVAL;
        return nullptr;
    }
    return decryptWith(c, iv_text, data);
}

} // namespace velka::mail::authdb
