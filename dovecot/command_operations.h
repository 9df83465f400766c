// Command operations of wendra: one per command, each joining the configuration
// reader, the include-file writer, the certificate files and the service-control
// runner, and folding their detailed results into what the command handlers return.
#ifndef VELKA_DOVECOT_COMMAND_OPERATIONS_H
#define VELKA_DOVECOT_COMMAND_OPERATIONS_H

#include <cstdint>
#include <string>

namespace velka::mail::dovecot::wendra_commands {

// Bits of the service mask that select the IMAP/POP3 server; other bits are ignored.
constexpr std::uint32_t IMAP_POP3_SERVICE_MASK = 0xF0;

// Prints the feature report (three PHP lines) on standard output; returns 0.
int printFeatures();

// The effective limits; the reader's std::runtime_error passes through.
std::uint32_t getConnectionsLimit();
std::uint32_t getConnectionsPerIpLimit();

// Takes the include directory's write lock for a command that changes several files
// and reloads once (see lockDovecotConfig); the reload gives it up. False after a
// message when another command held it too long: nothing may be changed then.
bool lockConfiguration();

// The operations below that write take the lock themselves. Every reload below first
// has doveconf check the whole configuration; when Dovecot
// would refuse it, the include files changed since the last accepted check are put
// back, nothing is run and the result is 1 (see applyDovecotConfig).

// Write the limit and reload Dovecot; 0, or 1 when writing or the reload failed.
int setConnectionsLimit(std::uint32_t limit);
int setConnectionsPerIpLimit(std::uint32_t limit);

// Install or remove one certificate file without reloading; 0, or 1 on failure.
int installCertificate(const std::string &name, const std::string &certFile);
int removeCertificate(const std::string &name);

// Write or remove the quota-warning file, then reload: 1 when the file work failed
// (nothing is run then), else the reload's result (exit status or -1).
int enableMailboxLimitWarning();
int disableMailboxLimitWarning();

// With any of the bits IMAP_POP3_SERVICE_MASK set, restart or reload Dovecot and return
// the script's result; otherwise run nothing and return 0.
int restartService(std::uint32_t serviceMask);
int reloadService(std::uint32_t serviceMask);

} // namespace velka::mail::dovecot::wendra_commands

#endif
