// Internal to the library: the stored text format over a cipher record of the
// caller's own rather than a registry entry, for a key that is not the key
// file's (while the key is being replaced).
#ifndef VELKA_CIPHER_RECORD_H
#define VELKA_CIPHER_RECORD_H

#include "mail/dovecot/authdb/symmetric_cipher.h"

namespace velka::mail::authdb {

// As velka_cipher_encrypt and velka_cipher_decrypt, with c in place of the
// registry's entry called name. A text naming another cipher fails (EINVAL).
char *encryptWithRecord(symmetric_cipher *c, const char *name, const char *plain);
char *decryptWithRecord(symmetric_cipher *c, const char *name, const char *text);

} // namespace velka::mail::authdb

#endif
