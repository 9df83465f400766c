// The password cipher of the mail authentication database: one password at a
// time for lookups and writes, and the reference a process may hold on it so
// that the key file is read once.
#include "mail/dovecot/authdb/mail_auth_password.h"

#include "lib/log/velka_log.h"
#include "mail/dovecot/authdb/mail_aes.h"
#include "mail/dovecot/authdb/mail_auth_db.h"

#include <syslog.h>

char *mail_auth_password_crypt(const char *text, int mode, const char *mailname,
                               const char *domain) {
    const char *at = domain != nullptr ? "@" : "";
    if (domain == nullptr)
        domain = "";
    if (!mail_aes_init(mailAuthKeyGetPath())) {
        velka_log(LOG_ERR,
                  "Failed to initialize password cipher context (for mail address '%s%s%s')",
                  mailname, at, domain);
        return nullptr;
    }
    char *result = mode == 1 ? mail_aes_encrypt(text) : mail_aes_decrypt(text);
    if (result == nullptr)
        velka_log(LOG_ERR, "Failed to %s password for mail address '%s%s%s'",
                  mode == 1 ? "encrypt" : "decrypt", mailname, at, domain);
    mail_aes_cleanup();
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
