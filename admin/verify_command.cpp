// verify: every encrypted password decrypts under the key and every crypt hash
// is of a scheme Dovecot accepts by default; counts, and the accounts that fail.
// Decrypted passwords are wiped at once and never shown.
#include "admin/account_reader.h"
#include "admin/commands.h"
#include "admin/report.h"
#include "authcheck/display_text.h"
#include "mail/dovecot/authdb/mail_aes.h"
#include "mail/dovecot/authdb/mail_auth_crypt_scheme.h"
#include "mail/dovecot/authdb/mail_auth_key_ring.h"
#include "mail/dovecot/authdb/velka_cipher_record.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>

namespace velka::admin {

namespace {

using velka::authcheck::terminalText;
using velka::mail::authdb::decryptWithRecord;
using velka::mail::authdb::passwordCipherFor;

struct Counts {
    unsigned aes = 0, undecryptable = 0, crypt = 0, refused = 0, plain = 0, none = 0;
};

// Under the key the database records with the account, as a login reads it,
// also while a key replacement is under way.
bool decrypts(const StoredAccount &account) {
    symmetric_cipher *cipher = passwordCipherFor(account.keyId);
    char *plain = cipher != nullptr
                      ? decryptWithRecord(cipher, MAIL_AES_CIPHER_NAME, account.stored.c_str())
                      : nullptr;
    if (plain == nullptr)
        return false;
    OPENSSL_cleanse(plain, strlen(plain));
    free(plain);
    return true;
}

void checkEncrypted(const std::vector<StoredAccount> &accounts, Counts *counts) {
    for (const StoredAccount &account : accounts) {
        if (account.kind != "aes")
            continue;
        ++counts->aes;
        if (!decrypts(account)) {
            ++counts->undecryptable;
            std::cout << terminalText(account.address)
                      << ": does not decrypt under the key: the key is not the one it was "
                         "stored with; set a new password with passwd\n";
        }
    }
}

void checkOthers(const std::vector<StoredAccount> &accounts, Counts *counts) {
    for (const StoredAccount &account : accounts) {
        if (account.kind == "crypt") {
            ++counts->crypt;
            if (mail_auth_crypt_scheme_refused(account.stored.c_str())) {
                ++counts->refused;
                std::cout << terminalText(account.address) << ": "
                          << mail_auth_crypt_scheme(account.stored.c_str())
                          << " hash, which Dovecot 2.4 refuses by default; set a new password "
                             "with passwd\n";
            }
        } else if (account.kind == "plain") {
            ++counts->plain;
        } else if (account.kind == "none") {
            ++counts->none;
        }
    }
}

} // namespace

int runVerify(const AdminContext & /*ctx*/) {
    std::vector<StoredAccount> accounts;
    if (!readAccounts("", &accounts))
        return EXIT_FAILED;
    Counts counts;
    checkEncrypted(accounts, &counts);
    checkOthers(accounts, &counts);
    std::cout << accounts.size() << (accounts.size() == 1 ? " account: " : " accounts: ")
              << counts.aes << " encrypted (" << counts.undecryptable << " do not decrypt), "
              << counts.crypt << " crypt (" << counts.refused << " refused), " << counts.plain
              << " plain text, " << counts.none << " without a password\n";
    if (counts.plain > 0)
        std::cout << "passwords kept as plain text work, but passwd stores them encrypted\n";
    return counts.undecryptable + counts.refused > 0 ? EXIT_FAILED : EXIT_OK;
}

} // namespace velka::admin
