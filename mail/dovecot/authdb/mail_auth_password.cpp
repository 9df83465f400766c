// The password cipher of the mail authentication database: one password at a
// time for lookups and writes, under the key the database records (the key file
// is read again only when it changed), and the registry reference a process may
// hold for the exported cipher calls.
#include "mail/dovecot/authdb/mail_auth_password.h"

#include "lib/log/velka_log.h"
#include "mail/dovecot/authdb/mail_aes.h"
#include "mail/dovecot/authdb/mail_auth_db.h"
#include "mail/dovecot/authdb/mail_auth_key_ring.h"
#include "mail/dovecot/authdb/velka_cipher_record.h"

#include <syslog.h>

using velka::mail::authdb::decryptWithRecord;
using velka::mail::authdb::encryptWithRecord;
using velka::mail::authdb::passwordCipherFor;

char *mail_auth_password_crypt(const char *text, int mode, const char *mailname, const char *domain,
                               int32_t key_id) {
    const char *at = domain != nullptr ? "@" : "";
    if (domain == nullptr)
        domain = "";
    symmetric_cipher *cipher = passwordCipherFor(key_id);
    if (cipher == nullptr) {
        velka_log(LOG_ERR,
                  "Failed to initialize password cipher context (for mail address '%s%s%s')",
                  mailname, at, domain);
        return nullptr;
    }
    char *result = nullptr;
    if (mode == 1)
        result = encryptWithRecord(cipher, MAIL_AES_CIPHER_NAME, text);
    else if (is_encrypted_with_mail_aes(text))
        result = decryptWithRecord(cipher, MAIL_AES_CIPHER_NAME, text);
    if (result == nullptr)
        velka_log(LOG_ERR, "Failed to %s password for mail address '%s%s%s'",
                  mode == 1 ? "encrypt" : "decrypt", mailname, at, domain);
    return result;
}

int mailPasswdCipherInit(void) {
    if (mail_aes_init(mailAuthKeyGetPath()))
        return 0;
    velka_log(LOG_ERR, "Failed to initialize password cipher context");
    return -1;
}

bool mailPasswdCipherCleanup(void) {
    return mail_aes_cleanup();
}
