// Include-file writer: the panel's own Dovecot settings (connection limits, per-IP
// limit, quota warning, user-name characters, short-name logins), each kept in a small
// file of Dovecot's include directory, optionally followed by a reload of Dovecot.
//
// Results: 0 on success; -1 when the writer's own file work failed, after one line on
// standard error (the file then keeps its earlier content); otherwise the result of
// the service-control script (its exit status, or -1 when it could not be run), or 1
// when doveconf refused the configuration and the files were put back. A reload happens
// only after every file of the operation was written and doveconf accepted the result.
#ifndef VELKA_DOVECOT_CONFIG_WRITER_H
#define VELKA_DOVECOT_CONFIG_WRITER_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Remove (enable) or write (disable) the file that widens the characters allowed in
 * user names, which takes "+" away as the subaddress separator; reload if restart. */
int enableDovecotSubaddressing(bool restart);
int disableDovecotSubaddressing(bool restart);
/* Write (allow) or remove the file that switches on the passdb plug-in's
 * velka_allow_shortnames; reload if restart. */
int setDovecotShortnameParams(bool allow, bool restart);
/* Has the service-control script reload (or restart) Dovecot; returns its result. */
int restartDovecotService(void);

#ifdef __cplusplus
}

#include <cstdint>

// The file disableDovecotSubaddressing writes.
extern const char ADDITIONAL_SYMBOLS_FILENAME[];

namespace velka::mail::dovecot {

// Writes mail_max_userip_connections; reloads if restart.
int setDovecotConnectionsPerIpPerUserLimit(std::uint32_t limit, bool restart);
// Writes the process limit of imap, pop3, imap-login and pop3-login (one connection per
// process) and the client limit 2 * limit + 204 (32-bit, wrapping) of auth and anvil,
// stopping at the first failure, which puts back the files written before it; reloads
// if restart and all six were written.
int setDovecotConnectionsLimit(std::uint32_t limit, bool restart);
// Replaces the test whether a user exists (getpwnam; null restores it), so that tests
// can stand in for the system's user database.
void setUserExistsCheck(bool (*exists)(const char *name));

// Write or remove the 95% quota-warning file; neither reloads. Enabling fails with -1,
// writing nothing, when the user the warning service runs as does not exist.
int enableDovecotLimitWarning();
int disableDovecotLimitWarning();

// Applies the include files changed so far, under the write lock (taken here when no
// file was changed before): checks the whole configuration as Dovecot's master will
// (checkDovecotConfig) and runs the service-control script for "dovecot" with action
// only when Dovecot accepts it, then gives the lock up. When it does not, or a stop
// signal arrived, every include file changed since the last accepted check is put back
// as it was, the reason is written to std::clog (a configuration refused already before
// the change is told apart from one the change made refused) and the result is 1, with
// nothing run. Otherwise the script's result; the script runs under a time limit, and
// a stop signal waits for it to end.
int applyDovecotConfig(const char *action);

} // namespace velka::mail::dovecot

#endif

#endif
