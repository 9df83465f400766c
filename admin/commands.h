// The commands of velka-auth-admin, each over the library's exported API. Each
// takes its located database and its words, prints what it did or what went
// wrong and what to do, and returns the exit status.
#ifndef VELKA_ADMIN_COMMANDS_H
#define VELKA_ADMIN_COMMANDS_H

#include "admin/context.h"

namespace velka::admin {

int runInit(const AdminContext &ctx);
int runAdd(const AdminContext &ctx);
int runPasswd(const AdminContext &ctx);
int runRemove(const AdminContext &ctx);
int runRename(const AdminContext &ctx);
int runDomain(const AdminContext &ctx);
int runList(const AdminContext &ctx);
int runShow(const AdminContext &ctx);
int runVerify(const AdminContext &ctx);

} // namespace velka::admin

#endif
