// Finding the database and key the way the plug-in finds them: the layout named
// by the velka passdb's velka_smtp_server as doveconf reads it ("autodetect"
// asks wendra-server), or the layout the administrator names.
#ifndef VELKA_ADMIN_LOCATE_H
#define VELKA_ADMIN_LOCATE_H

#include "admin/context.h"

#include <string>

namespace velka::admin {

// The style "qmail" or "postfix" names, in any letter case; -1 for anything else.
int styleNamed(const std::string &name);

// Selects the layout of style (MAIL_AUTH_STYLE_*) as the library's paths and
// records it in ctx.
void selectLayout(int style, AdminContext *ctx);

// Selects the layout of the velka passdb of configFile. False with a message
// that says what to do when doveconf cannot read it, no passdb uses the driver,
// or no layout can be told.
bool locateFromConfig(const std::string &configFile, AdminContext *ctx, std::string *error);

} // namespace velka::admin

#endif
