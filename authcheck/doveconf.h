// Dovecot's settings as doveconf reads them.
#ifndef VELKA_AUTHCHECK_DOVECONF_H
#define VELKA_AUTHCHECK_DOVECONF_H

#include "authcheck/run_program.h"

#include <string>
#include <vector>

namespace velka::authcheck {

ProgramOutput doveconf(const std::string &configFile, const std::vector<std::string> &args);
// doveconf -h NAME without its newline; empty when unset or unreadable.
std::string doveconfValue(const std::string &configFile, const std::string &name);
// A value as doveconf -n prints it: quoted ones lose their quotes and escapes.
std::string unquoteValue(const std::string &value);

} // namespace velka::authcheck

#endif
