// Internal to the mail authentication database: the password cipher as lookups
// and writes use it.
#ifndef VELKA_MAIL_AUTH_PASSWORD_H
#define VELKA_MAIL_AUTH_PASSWORD_H

// Encrypts (mode 1) or decrypts (mode 0) one password with the password cipher
// under the key file's key, taking and releasing a cipher reference around it.
// mailname and domain only name the account in log lines (domain may be null).
// A new string, to be released with free(), or null after logging.
char *mail_auth_password_crypt(const char *text, int mode, const char *mailname,
                               const char *domain);

#endif
