// The account or domain a command names: checked as an argument, then read, so
// that each command can say what is missing or in the way before it changes
// anything.
#ifndef VELKA_ADMIN_NAMED_H
#define VELKA_ADMIN_NAMED_H

#include "admin/account_reader.h"

#include <string>

namespace velka::admin {

// Returned by the functions below when the command goes on.
constexpr int GO_ON = -1;

struct NamedAccount {
    Address address;
    StoredAccount stored; // when found
    bool found = false;
    std::string shown; // the argument, safe for a terminal
};

// Parses and reads the account text names. An exit status after a message
// (EXIT_USAGE for a malformed address), or GO_ON.
int lookUpAccount(const std::string &text, NamedAccount *account);

// The account must exist: "no account ..." otherwise. An exit status or GO_ON.
int requireAccount(const std::string &text, NamedAccount *account);

// The domain must be valid and exist (or not exist, when wanted is false). An
// exit status after a message, or GO_ON.
int requireDomain(const std::string &domain, bool wanted = true);

} // namespace velka::admin

#endif
