#include "admin/locate.h"

#include "authcheck/doveconf.h"
#include "authcheck/velka_settings.h"
#include "mail/dovecot/authdb/mail_auth_db.h"
#include "mail/dovecot/authdb/mail_auth_layout.h"

#include <strings.h>

namespace velka::admin {

namespace {

const char PASS_STYLE[] = "; or pass --style qmail|postfix";

std::string firstLine(const std::string &text) {
    const std::string line = text.substr(0, text.find('\n'));
    return line.empty() ? "no message" : line;
}

} // namespace

int styleNamed(const std::string &name) {
    if (strcasecmp(name.c_str(), "qmail") == 0)
        return MAIL_AUTH_STYLE_QMAIL;
    if (strcasecmp(name.c_str(), "postfix") == 0)
        return MAIL_AUTH_STYLE_POSTFIX;
    return -1;
}

void selectLayout(int style, AdminContext *ctx) {
    mailAuthDBSelectStyle(style);
    ctx->style = style;
    ctx->databasePath = mailAuthDBGetPath();
    ctx->keyPath = mailAuthKeyGetPath();
}

bool locateFromConfig(const std::string &configFile, AdminContext *ctx, std::string *error) {
    using namespace velka::authcheck;
    const ProgramOutput out = doveconf(configFile, {"-n"});
    if (out.status != 0) {
        *error = "doveconf cannot read " + configFile + ": " +
                 (out.failure.empty() ? firstLine(out.err) : out.failure) +
                 "; name the right file with -c" + PASS_STYLE;
        return false;
    }
    VelkaSettings settings;
    settings.passdbName = velkaPassdb(out.out);
    if (settings.passdbName.empty()) {
        *error =
            "no velka passdb in " + configFile + ": configure one (driver = velka)" + PASS_STYLE;
        return false;
    }
    readVelkaSettings(configFile, out.out, &settings);
    int style = mail_auth_style_of_setting(settings.smtpServer.c_str());
    if (style == MAIL_AUTH_STYLE_DETECT) {
        style = mailAuthDBDetectStyle();
        if (style < 0) {
            *error = "wendra-server --features names neither QMail nor Postfix: set "
                     "velka_smtp_server in passdb " +
                     settings.passdbName + PASS_STYLE;
            return false;
        }
    } else if (style < 0) {
        *error = "velka_smtp_server = " + settings.smtpServer + " in passdb " +
                 settings.passdbName + " names no layout: set QMail, Postfix or autodetect" +
                 PASS_STYLE;
        return false;
    }
    selectLayout(style, ctx);
    return true;
}

} // namespace velka::admin
