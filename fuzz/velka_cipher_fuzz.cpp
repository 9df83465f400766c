// libFuzzer target for velka_cipher_decrypt on arbitrary stored text: ciphers with and
// without PKCS padding and one without an IV share a fixed key file made here; every
// text that decrypts must encrypt back (under its own IV) to a text that decrypts alike.
#include "fuzz/fuzz_support.h"
#include "lib/log/velka_log.h"
#include "mail/dovecot/authdb/velka_cipher.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

namespace {

const char *const CIPHERS[] = {"AES-256-CBC:PKCS", "AES-256-CBC", "AES-128-ECB"};

void setUp() {
    velka_log = velka_fuzz::quietLog;
    char path[] = "/tmp/velka_cipher_fuzz_key.XXXXXX";
    int fd = mkstemp(path);
    CHECK(fd >= 0);
    unsigned char key[32];
    for (size_t i = 0; i < sizeof key; ++i)
        key[i] = static_cast<unsigned char>(i * 37 + 11);
    CHECK(write(fd, key, sizeof key) == static_cast<ssize_t>(sizeof key));
    close(fd);
    for (const char *name : CIPHERS)
        CHECK(velka_cipher_init(name, path));
    unlink(path);
}

// The IV text of a stored text, as decryption reads it, or "" when it has none.
std::string ivOf(const std::string &text) {
    size_t second = text.find('$', 1);
    size_t last = text.rfind('$');
    if (second == std::string::npos || last == second)
        return "";
    return text.substr(second + 1, last - second - 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = false;
    if (!ready) {
        setUp();
        ready = true;
    }
    // Exactly size + 1 bytes, so that a read past the terminator is caught.
    char *text = static_cast<char *>(malloc(size + 1));
    CHECK(text != nullptr);
    memcpy(text, data, size);
    text[size] = 0;

    errno = 0;
    char *plain = velka_cipher_decrypt(text);
    if (plain == nullptr) {
        // The format errors are told apart from failed decryption.
        if (text[0] != '$' || strchr(text + 1, '$') == nullptr)
            CHECK(errno == EINVAL);
        free(text);
        return 0;
    }
    CHECK(text[0] == '$');
    const std::string stored(text);
    const std::string name = stored.substr(1, stored.find('$', 1) - 1);
    const std::string iv = ivOf(stored);

    // Encrypting the plain text under the same IV, or a random one, gives texts that
    // decrypt to it again. (A non-empty IV text that decodes short fails to encrypt.)
    std::string spec = "$" + name + (iv.empty() ? "" : "$" + iv + "$");
    char *again = velka_cipher_crypt(plain, spec.c_str());
    if (again != nullptr) {
        char *back = velka_cipher_decrypt(again);
        CHECK(back != nullptr);
        CHECK(strcmp(back, plain) == 0);
        free(back);
        free(again);
    }
    char *fresh = velka_cipher_encrypt(name.c_str(), plain);
    CHECK(fresh != nullptr);
    char *back = velka_cipher_decrypt(fresh);
    CHECK(back != nullptr);
    CHECK(strcmp(back, plain) == 0);
    free(back);
    free(fresh);
    free(plain);
    free(text);
    return 0;
}
