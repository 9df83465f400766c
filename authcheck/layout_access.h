// Owners and modes the panel gives the database, its directory and the key.
#ifndef VELKA_AUTHCHECK_LAYOUT_ACCESS_H
#define VELKA_AUTHCHECK_LAYOUT_ACCESS_H

#include "authcheck/files.h"
#include "mail/dovecot/authdb/mail_auth_db.h"

namespace velka::authcheck {

struct LayoutAccess {
    Expected directory, database, key;
};

inline LayoutAccess layoutAccess(int style) {
    if (style == MAIL_AUTH_STYLE_POSTFIX)
        return {{"postfix", nullptr, 0770}, {"postfix", "root", 0460}, {"postfix", "root", 0440}};
    return {{"root", "nofiles", 0750}, {"root", "nofiles", 0640}, {"root", "nofiles", 0440}};
}

} // namespace velka::authcheck

#endif
