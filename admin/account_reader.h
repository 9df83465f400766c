// The accounts as stored, read on a read-only handle: how each password is kept,
// never the password. A password stored as plain text is not even read; an
// encrypted one is handed out as its stored text (for verify), a hash as itself.
#ifndef VELKA_ADMIN_ACCOUNT_READER_H
#define VELKA_ADMIN_ACCOUNT_READER_H

#include "admin/address.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velka::admin {

struct StoredAccount {
    std::string address; // as stored: lower case
    std::string kind;    // "aes", "crypt", "plain" or "none"
    std::string stored;  // aes: the stored text; crypt: the hash; else empty
    bool userEnabled = true;
    bool domainEnabled = true;
    int32_t keyId = 0; // the key the database records, read with the account
};

// Each call opens the current database path read-only and closes it again; a
// missing database is an error, never created. False after a message on
// standard error that names the database.
bool readAccounts(const std::string &domain, std::vector<StoredAccount> *accounts);
// found is false when there is no such account.
bool readAccount(const Address &address, StoredAccount *account, bool *found);
bool domainExists(const std::string &domain, bool *exists);

} // namespace velka::admin

#endif
