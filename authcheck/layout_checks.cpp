// The database layout, chosen exactly as the plug-in chooses it.
#include "authcheck/checks.h"
#include "mail/dovecot/authdb/mail_auth_db.h"

#include <strings.h>

namespace velka::authcheck {

void checkLayout(Context &ctx, Results &results) {
    const std::string &server = ctx.smtpServer;
    std::string how;
    if (server.empty() || strcasecmp(server.c_str(), "autodetect") == 0) {
        ctx.style = mailAuthDBDetectStyle();
        how = "detected by wendra-server --features";
    } else if (strcasecmp(server.c_str(), "postfix") == 0) {
        ctx.style = MAIL_AUTH_STYLE_POSTFIX;
        how = "set by velka_smtp_server";
    } else if (strcasecmp(server.c_str(), "qmail") == 0) {
        ctx.style = MAIL_AUTH_STYLE_QMAIL;
        how = "set by velka_smtp_server";
    }
    if (ctx.style < 0) {
        results.push_back({"layout", Status::Failure,
                           "no layout: /usr/local/vqa/admin/sbin/wendra-server --features names "
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
