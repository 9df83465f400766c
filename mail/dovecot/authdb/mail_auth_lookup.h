/* Internal to the mail authentication database: what the plug-in's C glue
 * asks of a lookup. */
#ifndef VELKA_MAIL_AUTH_LOOKUP_H
#define VELKA_MAIL_AUTH_LOOKUP_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* For the plug-in's account callback, during the call: whether password is
 * the stored text of an encrypted password that failed to decrypt, which the
 * lookup passes on as stored, rather than a password that merely begins like
 * one. Told by the pointer, not by the text. Not exported. */
bool mail_auth_password_undecrypted(const char *password);

#ifdef __cplusplus
}
#endif

#endif
