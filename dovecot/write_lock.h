// The write lock of an include directory: wendra's writing commands take it before they
// change the first file and keep it until Dovecot was reloaded or the files were put
// back, so that commands the panel starts at the same time run one after the other.
#ifndef VELKA_DOVECOT_WRITE_LOCK_H
#define VELKA_DOVECOT_WRITE_LOCK_H

#include <string>

namespace velka::mail::dovecot {

// The lock file, kept in the include directory it guards: every command that writes
// there meets the same file however it names the directory, and Dovecot's "*.conf"
// include pattern never takes it.
extern const char WRITE_LOCK_FILENAME[];

// How long a command waits for another: WENDRA_LOCK_TIMEOUT (whole seconds) when it is
// set to a number, else 120 seconds.
int writeLockTimeoutSeconds();

// Opens (creating it 0600 when missing) the lock file of dir without following a link
// and waits up to timeoutSeconds for its exclusive lock. Returns the descriptor holding
// the lock (close-on-exec, so no child keeps it), or -1 with a complete message in error.
int acquireWriteLock(const std::string &dir, int timeoutSeconds, std::string &error);

} // namespace velka::mail::dovecot

#endif
