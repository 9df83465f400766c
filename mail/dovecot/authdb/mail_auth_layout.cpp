// The owners and modes of each layout and the style named by the plug-in's setting.
#include "mail/dovecot/authdb/mail_auth_layout.h"

#include "mail/dovecot/authdb/mail_auth_db.h"

#include <strings.h>

namespace {

// QMail's files are read by the mail server through the group "nofiles";
// Postfix's belong to its own user, with root's group, so that only postfix and
// root read them.
const struct mail_auth_layout_access QMAIL = {
    {"root", "nofiles", 0750}, {"root", "nofiles", 0640}, {"root", "nofiles", 0440}};
const struct mail_auth_layout_access POSTFIX = {
    {"postfix", nullptr, 0770}, {"postfix", "root", 0460}, {"postfix", "root", 0440}};
const struct mail_auth_layout_access ROOT_ONLY = {
    {"root", "root", 0750}, {"root", "root", 0600}, {"root", "root", 0400}};

} // namespace

int mail_auth_style_of_setting(const char *server) {
    if (server == nullptr || *server == '\0' || strcasecmp(server, "autodetect") == 0)
        return MAIL_AUTH_STYLE_DETECT;
    if (strcasecmp(server, "postfix") == 0)
        return MAIL_AUTH_STYLE_POSTFIX;
    if (strcasecmp(server, "qmail") == 0)
        return MAIL_AUTH_STYLE_QMAIL;
    return -1;
}

const struct mail_auth_layout_access *mail_auth_layout_access(int style) {
    switch (style) {
    case MAIL_AUTH_STYLE_QMAIL:
        return &QMAIL;
    case MAIL_AUTH_STYLE_POSTFIX:
        return &POSTFIX;
    default:
        return &ROOT_ONLY;
    }
}
