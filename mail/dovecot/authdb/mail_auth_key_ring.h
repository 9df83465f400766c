// Internal to the library: which key a database's encrypted passwords are under.
//
// A database whose key was never replaced records nothing, and its passwords are
// under the key file's key. Replacing the key writes the new one beside the key
// file first (pendingKeyPath), then re-encrypts every password and records the new
// key's identity in the database's user_version in one transaction, and only then
// renames the new key over the old one. A reader that takes the identity from the
// same read as the passwords therefore always finds their key: the key file's, or
// the pending one between that commit and the rename.
#ifndef VELKA_MAIL_AUTH_KEY_RING_H
#define VELKA_MAIL_AUTH_KEY_RING_H

#include "mail/dovecot/authdb/mail_auth_sqlite.h"
#include "mail/dovecot/authdb/symmetric_cipher.h"

#include <cstdint>
#include <string>

namespace velka::mail::authdb {

constexpr int32_t NO_KEY_RECORDED = 0;

// The identity a key is recorded under: never NO_KEY_RECORDED.
int32_t keyIdentity(const unsigned char key[32]);

// Where a new key waits beside the key file at key_path.
std::string pendingKeyPath(const std::string &key_path);

// The identity recorded in the database as a column of a selection, so that it
// is read in the same statement as the passwords it applies to (for tools; it
// costs a login several microseconds, as SQLite prepares the pragma each time).
#define MAIL_AUTH_KEY_ID_COLUMN "(SELECT user_version FROM pragma_user_version)"

// Reads the identity recorded in the database. Stepped while a selection on the
// same handle holds its read transaction open, it is the identity of the rows
// that selection returns.
constexpr char RECORDED_KEY_QUERY[] = "PRAGMA user_version";

// Steps stmt, RECORDED_KEY_QUERY prepared on db, and resets it; false after logging.
bool stepRecordedKey(Database &db, sqlite3_stmt *stmt, int32_t *id);

// The identity recorded in db; false after logging.
bool readRecordedKey(Database &db, int32_t *id);

// The password cipher under the key recorded as id (NO_KEY_RECORDED: the key
// file's), from the key file or the pending key. A key already read under that
// identity is used as it is; otherwise the files are read again when they
// changed. Null after logging. Valid until the next call.
symmetric_cipher *passwordCipherFor(int32_t id);

// Reads the 32-byte key of the regular file name in the directory dir_fd,
// never following a link nor blocking. false with errno set: ENODATA for a
// short file, EINVAL for anything but a regular file.
bool readKeyAt(int dir_fd, const char *name, unsigned char key[32]);

} // namespace velka::mail::authdb

#endif
