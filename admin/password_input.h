// Where a password comes from: one line of standard input, or, on a terminal,
// typed twice without echo. Never from the command line, where every user of
// the machine could read it.
#ifndef VELKA_ADMIN_PASSWORD_INPUT_H
#define VELKA_ADMIN_PASSWORD_INPUT_H

#include "admin/secret.h"

#include <string>

namespace velka::admin {

// One line from fd into secret, without its line end. False with a message when
// nothing was read, the line is empty or holds a NUL byte, or it is longer than
// Secret::CAPACITY.
bool readSecretLine(int fd, Secret *secret, std::string *error);

// what names the text in prompts and messages ("password", "crypt hash").
// Standard input is asked twice when it is a terminal, and read as one line
// otherwise. False with a message.
bool readSecret(const std::string &what, const std::string &address, Secret *secret,
                std::string *error);

} // namespace velka::admin

#endif
