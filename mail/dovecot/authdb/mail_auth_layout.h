/* Internal to the library and the tools built with its core: what a mail server
 * style means for the files of the mail authentication database, held once so
 * that the code that makes the files and the code that checks them agree. None
 * of it is exported from the plug-in. */
#ifndef VELKA_MAIL_AUTH_LAYOUT_H
#define VELKA_MAIL_AUTH_LAYOUT_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* mail_auth_style_of_setting's answer for a setting that asks for detection. */
#define MAIL_AUTH_STYLE_DETECT (-2)

/* The style a velka_smtp_server value names, in any letter case: "QMail" and
 * "Postfix" their styles; null, "" and "autodetect" MAIL_AUTH_STYLE_DETECT
 * (mailAuthDBDetectStyle then asks wendra-server); anything else -1. */
int mail_auth_style_of_setting(const char *server);

/* Owner and mode of one file of a layout, by name, as an administrator reads them. */
struct mail_auth_access {
    const char *user;  /* owner */
    const char *group; /* null: the owner's own group */
    mode_t mode;
};

struct mail_auth_layout_access {
    struct mail_auth_access directory; /* the database's directory */
    struct mail_auth_access database;
    struct mail_auth_access key;
};

/* What mailAuthDBInitStyle gives the files of style. QMail and Postfix have
 * their own; any other style gets root-only access. Static, never null. */
const struct mail_auth_layout_access *mail_auth_layout_access(int style);

#ifdef __cplusplus
}
#endif

#endif
