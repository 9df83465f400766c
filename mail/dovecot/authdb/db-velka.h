/* Glue between the passdb driver "velka" and the mail authentication database:
 * start-up of the library inside Dovecot's authentication process, one lookup
 * per login, and the Maildir check.
 *
 * These functions run inside a Dovecot process: results are allocated on
 * Dovecot's data stack and vanish when the caller's data-stack frame ends;
 * fatal conditions stop the process through i_fatal(), programming errors
 * through i_panic(). */
#ifndef VELKA_DB_VELKA_H
#define VELKA_DB_VELKA_H

#include <stdbool.h>

#include "mail/dovecot/authdb/authdb_export.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VELKA_MAIL_ARG_SHORTNAMES 0x1   /* bare mail names are looked up in all domains */
#define VELKA_MAIL_ARG_MAILDIR_STAT 0x2 /* a found account must have a Maildir */
/* Where the process stands, for velka_mail_init(): an auth-worker process, or a
 * process whose lookups run in auth-worker processes (it never decrypts). */
#define VELKA_MAIL_ARG_WORKER 0x4
#define VELKA_MAIL_ARG_LOOKUPS_IN_WORKERS 0x8

/* Lookup codes: the outcome of one velka_mail_auth_lookup(). */
#define VELKA_LOOKUP_SHORT_NOT_PLAIN (-3) /* bare mail name in a credentials lookup */
#define VELKA_LOOKUP_SHORT_REFUSED (-2)   /* bare mail name while short names are off */
#define VELKA_LOOKUP_INTERNAL (-1)        /* database failure, malformed address, no password */
#define VELKA_LOOKUP_FOUND 0              /* found and, where compared, matched */
#define VELKA_LOOKUP_UNKNOWN 1            /* no such account */
#define VELKA_LOOKUP_MISMATCH 2           /* found, supplied password does not match */
#define VELKA_LOOKUP_DISABLED 3           /* user or its domain disabled */

struct velka_mail_args {
    /* "Postfix", "QMail", "autodetect" or empty (any letter case); must stay
     * valid until velka_mail_init() has run. */
    const char *smtp_server;
    unsigned int flags; /* VELKA_MAIL_ARG_* */
};

/* One lookup, on the data stack together with the strings it points to. */
struct velka_mail_auth {
    const struct velka_mail_args *args; /* never null */
    const char *password;               /* supplied plain-text password; null in credentials mode */
    const char *address;                /* the account's address as the database reported it */
    const char *stored_password;        /* accepted password: plain text or crypt hash */
    const char *scheme;                 /* "PLAIN" or "CRYPT" (static) */
    int result;                         /* VELKA_LOOKUP_* */
    bool plain;                         /* the client supplied a plain-text password */
};

/* Sets up logging, the panel configuration (with the Maildir check), the mail
 * server style with its database and key paths, and the password cipher, and
 * logs one start-up line saying where lookups run and whether the key file is
 * usable there. A process whose lookups run in the workers leaves the key file
 * alone. 0, or -1 when the cipher could not be initialised (each decryption then
 * tries again). Stops the process when the style cannot be detected or is
 * unknown. */
VELKA_AUTHDB_EXPORT int velka_mail_init(const struct velka_mail_args *args);

/* Releases the password cipher, when velka_mail_init() took it. */
VELKA_AUTHDB_EXPORT void velka_mail_deinit(void);

/* Looks user up (a full address, or a bare mail name) and returns a new record
 * with its result set. password is the supplied plain text or null; plain is
 * true when the client supplied one. Must run inside a data-stack frame. */
VELKA_AUTHDB_EXPORT struct velka_mail_auth *
velka_mail_auth_lookup(const char *user, const char *password, const struct velka_mail_args *args,
                       bool plain);

/* Account callback of the database lookups (see mail_auth_callback_t); data
 * is the struct velka_mail_auth of the lookup. Returns VELKA_LOOKUP_FOUND, or
 * VELKA_LOOKUP_MISMATCH or VELKA_LOOKUP_DISABLED, which ask for the next
 * candidate account. With short names on, a plain-text password is compared
 * here, so that a walk over several accounts stops at the one it opens. An
 * account whose password is empty never matches, nor one whose stored password
 * failed to decrypt (VELKA_LOOKUP_INTERNAL). That is known only inside a lookup:
 * called on its own, the callback takes every password as given. */
VELKA_AUTHDB_EXPORT int mail_auth_checker(const char *address, const char *password,
                                          unsigned char flags, void *data);

/* Whether "<VELKA_MAILNAMES_D>/<domain>/<mailname>/Maildir" of user (which
 * must contain "@") is a directory, examined without following a symbolic
 * link: 0 yes; 1 when it is missing or not a directory; -1 on any other error
 * (errno kept). The path examined is stored in *maildir_path_r (data stack). */
VELKA_AUTHDB_EXPORT int check_maildir_exists(const char *user, const char **maildir_path_r);

#ifdef __cplusplus
}
#endif

#endif
