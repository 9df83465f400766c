/* Glue between the passdb driver "velka" and the mail authentication database:
 * library start-up inside the authentication process, the per-login lookup with
 * its account callback, and the check that a found account has a Maildir. */
#include "lib.h"

#include "lib/log/velka_log.h"
#include "mail/dovecot/authdb/db-velka.h"
#include "mail/dovecot/authdb/dovecot-weak.h"
#include "mail/dovecot/authdb/mail_auth_db.h"
#include "mail/dovecot/authdb/mail_auth_layout.h"
#include "mail/dovecot/authdb/mail_auth_lookup.h"
#include "mail/dovecot/authdb/vqa_conf.h"

#include <crypt.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>

#define VELKA_LOG_IDENT "dovecot_authdb_velka"

/* The process's reference on the password cipher, when it took one. */
static bool cipher_held;

/* One line per process start, so that the log tells which layout and files
   the plug-in took, and where the key must be readable, before the first
   login depends on them. */
static void velka_mail_log_startup(const struct velka_mail_args *args, int style, bool detected) {
    const char *key_state, *where;

    if ((args->flags & VELKA_MAIL_ARG_LOOKUPS_IN_WORKERS) != 0) {
        key_state = "";
        where = "auth-worker processes, which read the key file";
    } else {
        key_state = cipher_held ? " usable"
                                : " not usable: logins with encrypted "
                                  "passwords fail temporarily until it is";
        where = (args->flags & VELKA_MAIL_ARG_WORKER) != 0 ? "this auth-worker process"
                                                           : "this auth process";
    }
    i_info("authdb velka: version %s for Dovecot ABI %s started: layout %s "
           "(%s), database %s, key file %s%s; lookups run in %s",
           VELKA_VERSION, DOVECOT_ABI_VERSION,
           style == MAIL_AUTH_STYLE_POSTFIX ? "Postfix" : "QMail",
           detected ? "detected" : "set by velka_smtp_server", mailAuthDBGetPath(),
           mailAuthKeyGetPath(), key_state, where);
}

int velka_mail_init(const struct velka_mail_args *args) {
    const char *server = args->smtp_server;
    bool detected = FALSE;
    int style, ret = 0;

    velka_log_init(NULL, LOG_INFO, LOG_MAIL, 0, VELKA_LOG_IDENT);
    /* A missing file is logged here and leaves the compile-time default
       Maildir root in force. */
    if ((args->flags & VELKA_MAIL_ARG_MAILDIR_STAT) != 0)
        (void)autoprepend();

    style = mail_auth_style_of_setting(server);
    if (style == MAIL_AUTH_STYLE_DETECT) {
        style = mailAuthDBDetectStyle();
        detected = TRUE;
        if (style < 0) {
            i_fatal("authdb velka: initialization failed - "
                    "unable to detect current mail authentication DB");
        }
    } else if (style < 0) {
        i_fatal("authdb velka: Unknown setting: smtp_server=%s", server);
    }
    mailAuthDBSelectStyle(style);
    /* The key file is often readable by root alone, as the workers run:
       reading it here would only fail and alarm. */
    if ((args->flags & VELKA_MAIL_ARG_LOOKUPS_IN_WORKERS) == 0) {
        ret = mailPasswdCipherInit();
        cipher_held = ret == 0;
    }
    velka_mail_log_startup(args, style, detected);
    return ret;
}

void velka_mail_deinit(void) {
    if (cipher_held)
        (void)mailPasswdCipherCleanup();
    cipher_held = FALSE;
}

static bool velka_password_matches(const char *supplied, const char *stored, bool crypted) {
    const char *hash;

    if (supplied == NULL)
        return FALSE;
    if (!crypted)
        return str_equals_timing_almost_safe(supplied, stored);
    /* crypt() answers a failure with NULL or with a token that never
       equals a valid hash. */
    hash = crypt(supplied, stored);
    return hash != NULL && str_equals_timing_almost_safe(hash, stored);
}

int mail_auth_checker(const char *address, const char *password, unsigned char flags, void *data) {
    struct velka_mail_auth *auth = data;
    bool crypted = (flags & MAIL_AUTH_FLAG_CRYPT) != 0;

    i_assert(address && password && data);
    i_assert(auth->args);

    auth->address = t_strdup(address);
    auth->stored_password = NULL;
    if ((flags & (MAIL_AUTH_FLAG_USER_DISABLED | MAIL_AUTH_FLAG_DOMAIN_DISABLED)) != 0)
        return VELKA_LOOKUP_DISABLED;

    /* The database layer hands on a password it could not decrypt (key file
       unreadable or wrong) as stored; taken for plain text, the stored text
       itself would then log in. The account is unusable until the key is.
       Asked of the lookup, not read from the text: a password of the user's
       own may begin like a stored text. */
    if (!crypted && mail_auth_password_undecrypted(password))
        return VELKA_LOOKUP_INTERNAL;

    auth->scheme = crypted ? "CRYPT" : "PLAIN";
    /* An account stored without a password has none that could match;
       Dovecot would accept an empty PLAIN password as equal to it. */
    if (*password == '\0')
        return VELKA_LOOKUP_MISMATCH;
    if (auth->plain && (auth->args->flags & VELKA_MAIL_ARG_SHORTNAMES) != 0 &&
        !velka_password_matches(auth->password, password, crypted))
        return VELKA_LOOKUP_MISMATCH;

    auth->stored_password = t_strdup(password);
    return VELKA_LOOKUP_FOUND;
}

struct velka_mail_auth *velka_mail_auth_lookup(const char *user, const char *password,
                                               const struct velka_mail_args *args, bool plain) {
    struct velka_mail_auth *auth;

    i_assert(user != NULL && args != NULL);

    auth = t_new(struct velka_mail_auth, 1);
    auth->args = args;
    auth->password = password;
    auth->plain = plain;

    if (strchr(user, '@') != NULL)
        auth->result = mailAuthCheck(user, mail_auth_checker, auth);
    else if (!plain)
        auth->result = VELKA_LOOKUP_SHORT_NOT_PLAIN;
    else if ((args->flags & VELKA_MAIL_ARG_SHORTNAMES) == 0)
        auth->result = VELKA_LOOKUP_SHORT_REFUSED;
    else
        auth->result = mailAuthCheckShort(user, mail_auth_checker, auth);
    return auth;
}

int check_maildir_exists(const char *user, const char **maildir_path_r) {
    const char *at, *root;
    struct stat st;

    i_assert(maildir_path_r);
    at = user == NULL ? NULL : strchr(user, '@');
    i_assert(at);

    root = vqaConfGetDefaultByIndex(VQA_VELKA_MAILNAMES_D);
    *maildir_path_r = t_strdup_printf("%s/%s/%s/Maildir", root, at + 1, t_strdup_until(user, at));
    /* lstat: a symbolic link named Maildir is not a mailbox of its own. */
    if (lstat(*maildir_path_r, &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : 1;
    return errno == ENOENT ? 1 : -1;
}
