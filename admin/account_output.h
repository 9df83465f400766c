// Accounts shown to people (a table, or key: value lines) and to programs (JSON):
// address, how the password is kept, user and domain state; never a password,
// a hash or a stored cipher text.
#ifndef VELKA_ADMIN_ACCOUNT_OUTPUT_H
#define VELKA_ADMIN_ACCOUNT_OUTPUT_H

#include "admin/account_reader.h"

#include <ostream>
#include <vector>

namespace velka::admin {

// "AES-256-CBC", a crypt scheme such as "SHA512-CRYPT" ("unknown" for text no
// crypt scheme makes), "PLAIN", or null for an account without a password.
const char *schemeOf(const StoredAccount &account);

void printAccountTable(std::ostream &out, const std::vector<StoredAccount> &accounts);
void printAccountLines(std::ostream &out, const StoredAccount &account);
// One JSON object; a list is an array of them.
void printAccountJson(std::ostream &out, const StoredAccount &account);
void printAccountsJson(std::ostream &out, const std::vector<StoredAccount> &accounts);

} // namespace velka::admin

#endif
