// File inspection for code that runs as root: links are never followed, and
// owners and modes are compared with what the panel gives each file.
#ifndef VELKA_AUTHCHECK_FILES_H
#define VELKA_AUTHCHECK_FILES_H

#include "authcheck/check_result.h"
#include "mail/dovecot/authdb/mail_auth_layout.h"

#include <optional>
#include <string>
#include <sys/stat.h>

namespace velka::authcheck {

// lstat; an error text ("missing", "a symbolic link", ...) when path is not
// of the given type (S_IFREG or S_IFDIR).
std::optional<std::string> lstatAs(const std::string &path, mode_t type, struct stat *st);
// Ok, a warning for another owner or fewer rights, a failure for more rights.
Status compareAccess(const struct stat &st, const struct mail_auth_access &expected,
                     std::string *finding);
std::string describeAccess(const struct stat &st);
// Reads a regular file of at most limit bytes, not through a link.
std::optional<std::string> readFileNoFollow(const std::string &path, size_t limit,
                                            std::string *error);
// The same for a name inside an open directory.
std::optional<std::string> readFileNoFollowAt(int dirFd, const std::string &name, size_t limit,
                                              std::string *error);
// The same through links, for files that Dovecot itself opens by following them
// (certificates, often links into a certificate tool's archive).
std::optional<std::string> readFileFollowing(const std::string &path, size_t limit,
                                             std::string *error);

} // namespace velka::authcheck

#endif
