// Internal to the mail authentication database: the password cipher as lookups
// and writes use it.
#ifndef VELKA_MAIL_AUTH_PASSWORD_H
#define VELKA_MAIL_AUTH_PASSWORD_H

#include <stdint.h>

// Encrypts (mode 1) or decrypts (mode 0) one password with the password cipher
// under the key that the database records as key_id (see mail_auth_key_ring.h).
// mailname and domain only name the account in log lines (domain may be null).
// A new string, to be released with free(), or null after logging.
char *mail_auth_password_crypt(const char *text, int mode, const char *mailname, const char *domain,
                               int32_t key_id);

#endif
