/* Internal to the library and the tools built with its core: which crypt
 * scheme a stored hash uses, and whether Dovecot 2.4 refuses it by default
 * (auth_allow_weak_schemes = no logs "Weak password scheme '...' used and
 * refused" and fails the login). None of it is exported from the plug-in. */
#ifndef VELKA_MAIL_AUTH_CRYPT_SCHEME_H
#define VELKA_MAIL_AUTH_CRYPT_SCHEME_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Dovecot's name of the scheme of a crypt hash ("SHA512-CRYPT", "DES-CRYPT",
 * ...), or "unknown" for text no crypt scheme produces. Never null. */
const char *mail_auth_crypt_scheme(const char *hash);

/* Whether Dovecot refuses logins against the hash unless the administrator
 * allows weak schemes: DES and MD5 crypt, and text that is no crypt hash. */
bool mail_auth_crypt_scheme_refused(const char *hash);

#ifdef __cplusplus
}
#endif

#endif
