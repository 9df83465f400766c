#include "mail/dovecot/authdb/mail_auth_crypt_scheme.h"

#include <cstring>

namespace {

struct Prefix {
    const char *prefix;
    const char *scheme;
    bool refused;
};

// The prefixes libxcrypt gives its hashes, named as Dovecot names them.
const Prefix PREFIXES[] = {
    {"$6$", "SHA512-CRYPT", false},
    {"$5$", "SHA256-CRYPT", false},
    {"$2y$", "BLF-CRYPT", false},
    {"$2b$", "BLF-CRYPT", false},
    {"$2a$", "BLF-CRYPT", false},
    {"$y$", "YESCRYPT", false},
    {"$gy$", "GOST-YESCRYPT", false},
    {"$7$", "SCRYPT", false},
    {"$1$", "MD5-CRYPT", true},
    // Dovecot has no name of its own for these two, and accepts both through crypt().
    {"$md5", "SUNMD5-CRYPT", false},
    {"$3$", "NT-CRYPT", false},
};

bool isDesSaltChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '/';
}

// Traditional DES, 13 characters of the salt alphabet, or BSDi's extended DES,
// "_" and 19 of them, which Dovecot refuses as DES-CRYPT too.
bool isDesCrypt(const char *hash) {
    const size_t len = strlen(hash);
    const char *c = hash;
    if (len == 20 && *c == '_')
        ++c;
    else if (len != 13)
        return false;
    for (; *c != '\0'; ++c)
        if (!isDesSaltChar(*c))
            return false;
    return true;
}

const Prefix *findPrefix(const char *hash) {
    for (const Prefix &p : PREFIXES)
        if (strncmp(hash, p.prefix, strlen(p.prefix)) == 0)
            return &p;
    return nullptr;
}

} // namespace

const char *mail_auth_crypt_scheme(const char *hash) {
    if (hash == nullptr)
        return "unknown";
    if (const Prefix *p = findPrefix(hash))
        return p->scheme;
    return isDesCrypt(hash) ? "DES-CRYPT" : "unknown";
}

bool mail_auth_crypt_scheme_refused(const char *hash) {
    if (hash == nullptr)
        return true;
    const Prefix *p = findPrefix(hash);
    return p == nullptr || p->refused;
}
