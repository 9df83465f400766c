// Crypt hashes made and checked here, so that nothing but a real hash is ever
// stored where Dovecot expects one.
#ifndef VELKA_ADMIN_CRYPT_HASH_H
#define VELKA_ADMIN_CRYPT_HASH_H

#include <string>

namespace velka::admin {

// A SHA512-CRYPT hash of password with a new random salt. False with a message.
bool makeSha512Crypt(const char *password, std::string *hash, std::string *error);

// Whether hash can be stored for Dovecot 2.4 as it is configured by default: a
// crypt hash libcrypt can check, of a scheme Dovecot does not refuse as weak.
// False with a message that says what to do instead.
bool storableHash(const char *hash, std::string *error);

} // namespace velka::admin

#endif
