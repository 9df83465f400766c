#include "admin/crypt_hash.h"

#include "mail/dovecot/authdb/mail_auth_crypt_scheme.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cstring>
#include <memory>

#include <crypt.h>

namespace velka::admin {

namespace {

const char SHA512_PREFIX[] = "$6$";
// crypt_gensalt takes at most this much entropy for SHA512-CRYPT's 16 salt characters.
constexpr int SALT_BYTES = 16;

// crypt_r's work area holds the password's derived state: wiped after use.
struct CryptArea {
    CryptArea() : data(new crypt_data()) {}
    ~CryptArea() { OPENSSL_cleanse(data.get(), sizeof(crypt_data)); }
    std::unique_ptr<crypt_data> data;
};

// crypt's answer when it fails: null, or text starting with '*'.
bool cryptFailed(const char *result) {
    return result == nullptr || result[0] == '*';
}

// The part of a hash that crypt takes as its setting: up to its last '$', or
// DES's two salt characters.
size_t settingLength(const char *hash) {
    const char *last = strrchr(hash, '$');
    return last != nullptr ? static_cast<size_t>(last - hash) : 2;
}

} // namespace

bool makeSha512Crypt(const char *password, std::string *hash, std::string *error) {
    unsigned char random[SALT_BYTES];
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (RAND_bytes(random, sizeof(random)) != 1 ||
        crypt_gensalt_rn(SHA512_PREFIX, 0, reinterpret_cast<const char *>(random), sizeof(random),
                         setting, sizeof(setting)) == nullptr) {
        *error = "cannot make a salt for SHA512-CRYPT";
        return false;
    }
    CryptArea area;
    const char *result = crypt_r(password, setting, area.data.get());
    if (cryptFailed(result) || strncmp(result, SHA512_PREFIX, strlen(SHA512_PREFIX)) != 0) {
        *error = "libcrypt cannot make a SHA512-CRYPT hash";
        return false;
    }
    *hash = result;
    return true;
}

bool storableHash(const char *hash, std::string *error) {
    const std::string scheme = mail_auth_crypt_scheme(hash);
    if (scheme == "unknown") {
        *error = "the line read is no crypt hash: --hash takes an existing hash such as "
                 "$6$...; to store a password, leave --hash out or use --crypt";
        return false;
    }
    if (mail_auth_crypt_scheme_refused(hash)) {
        *error = scheme +
                 " is a weak scheme that Dovecot 2.4 refuses by default: set a new password "
                 "(without --hash, or with --crypt) instead of migrating this hash";
        return false;
    }
    // A hash that libcrypt cannot use, or one whose hash part was cut or padded
    // (what crypt makes from it differs in length), would refuse every login.
    CryptArea area;
    const char *made = crypt_r("", hash, area.data.get());
    if (cryptFailed(made) || strlen(made) != strlen(hash) ||
        strncmp(made, hash, settingLength(hash)) != 0) {
        *error = "the " + scheme + " hash read is malformed: libcrypt cannot check it";
        return false;
    }
    return true;
}

} // namespace velka::admin
