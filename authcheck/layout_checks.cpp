// The database layout, chosen exactly as the plug-in chooses it.
#include "authcheck/checks.h"
#include "mail/dovecot/authdb/mail_auth_db.h"
#include "mail/dovecot/authdb/mail_auth_layout.h"

namespace velka::authcheck {

void checkLayout(Context &ctx, Results &results) {
    std::string how = "set by velka_smtp_server";
    ctx.style = mail_auth_style_of_setting(ctx.smtpServer.c_str());
    if (ctx.style == MAIL_AUTH_STYLE_DETECT) {
        ctx.style = mailAuthDBDetectStyle();
        how = "detected by wendra-server --features";
    }
    if (ctx.style < 0) {
        results.push_back({"layout", Status::Failure,
                           "no layout: wendra-server --features names "
                           "neither QMail nor Postfix; set velka_smtp_server in the passdb"});
        return;
    }
    mailAuthDBSelectStyle(ctx.style);
    ctx.databasePath = mailAuthDBGetPath();
    ctx.keyPath = mailAuthKeyGetPath();
    results.push_back({"layout", Status::Ok,
                       std::string(ctx.style == MAIL_AUTH_STYLE_POSTFIX ? "Postfix" : "QMail") +
                           " (" + how + "): database " + ctx.databasePath + ", key " +
                           ctx.keyPath});
}

} // namespace velka::authcheck
