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

/* Whether a users.status or domains.status value, as text (null for SQL NULL),
 * disables the account: when SQLite reads it as a non-zero integer. Lookups
 * and velka-auth-check both decide by this. */
bool mail_auth_status_disabled(const char *status);

#ifdef __cplusplus
}
#endif

#endif
