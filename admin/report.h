// How the commands tell the administrator what went wrong.
#ifndef VELKA_ADMIN_REPORT_H
#define VELKA_ADMIN_REPORT_H

#include "admin/context.h"

#include <iostream>
#include <string>

namespace velka::admin {

// Prints "velka-auth-admin: message" on standard error and returns status.
inline int fail(const std::string &message, int status = EXIT_FAILED) {
    std::cerr << "velka-auth-admin: " << message << "\n";
    return status;
}

} // namespace velka::admin

#endif
