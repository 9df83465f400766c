/* Creates the database and key of the QMail layout when missing, and one mail account,
 * through the installed C API of libauthdb_velka, as the panel's programs do. Built by
 * the package install test against the headers and pkg-config file of the -dev
 * package, with immediate binding; it also shows that a program can link the
 * plug-in outside Dovecot. The account is looked up again before success.
 *
 *   velka-make-account MAILNAME DOMAIN PASSWORD      exit status 0 on success */
#include <stdio.h>
#include <syslog.h>
#include <unistd.h>

#include "same-password.h"

#include "lib/log/velka_log.h"
#include "mail/dovecot/authdb/mail_auth_db.h"

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: velka-make-account MAILNAME DOMAIN PASSWORD\n");
        return 64;
    }
    velka_log_init("stderr", LOG_INFO, LOG_MAIL, 0, "velka-make-account");
    mailAuthDBSelectStyle(MAIL_AUTH_STYLE_QMAIL);
    /* Creating them again would drop the accounts made before and their key.
       The files get the owners and modes the panel gives them. */
    if (access(mailAuthDBGetPath(), F_OK) != 0 && mailAuthDBInitStyle(MAIL_AUTH_STYLE_QMAIL) != 0)
        return 1;
    if (mailAuthSet(argv[1], argv[2], argv[3], 0) != 0)
        return 1;
    char address[512];
    snprintf(address, sizeof(address), "%s@%s", argv[1], argv[2]);
    if (mailAuthCheck(address, same_password, argv[3]) != 0) {
        fprintf(stderr, "velka-make-account: %s not found with its password\n", address);
        return 1;
    }
    printf("created %s@%s in %s\n", argv[1], argv[2], mailAuthDBGetPath());
    return 0;
}
