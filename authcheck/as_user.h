// Runs checks in a child process under another user's identity, so that files
// are opened with exactly the rights Dovecot's lookups will have.
#ifndef VELKA_AUTHCHECK_AS_USER_H
#define VELKA_AUTHCHECK_AS_USER_H

#include "authcheck/check_result.h"

#include <functional>
#include <string>

namespace velka::authcheck {

// work runs in a forked child as user (with that user's groups; root keeps
// root's identity); its results come back through a pipe. When the child
// cannot switch or dies, a single failure under failureId says so.
Results runAsUser(const std::string &user, const std::string &failureId,
                  const std::function<Results()> &work);

} // namespace velka::authcheck

#endif
