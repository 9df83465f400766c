// rotate-key: a new key, and every stored password encrypted anew under it,
// while logins go on.
#ifndef VELKA_ADMIN_ROTATE_KEY_H
#define VELKA_ADMIN_ROTATE_KEY_H

#include "admin/context.h"

namespace velka::admin {

int runRotateKey(const AdminContext &ctx);

} // namespace velka::admin

#endif
