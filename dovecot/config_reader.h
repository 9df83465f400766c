// Configuration reader: the Dovecot settings in force, as Dovecot's own doveconf
// prints them, and the two connection limits derived from them.
#ifndef VELKA_DOVECOT_CONFIG_READER_H
#define VELKA_DOVECOT_CONFIG_READER_H

#include <cstdint>
#include <string>

namespace velka::mail::dovecot {

// Replaces the doveconf program that every later read runs ("/usr/bin/doveconf" at
// start). Not thread-safe.
void setDoveconfPath(const std::string &path);

// The value of one setting: runs "doveconf [-c $DC_CONFIG_PATH] -h NAME" (NAME such as
// "mail_max_userip_connections" or "service/imap/process_limit") and returns its
// standard output less trailing white space; a run past 30 seconds is killed. A non-zero exit
// throws velka::Exc<&velka::ExecCmd::Failed, velka::ExDefault>; a failure to start the process
// throws a velka::SystemError. Nothing is caught here.
std::string readParamFromConfig(const std::string &name);

// Whether Dovecot accepts its configuration: runs "doveconf [-c $DC_CONFIG_PATH] -C -F
// /bin/true", the check Dovecot's master runs before it starts, which also reads every
// file the configuration names, under the config process's memory limit and a time
// limit, and returns true when it exits with 0. Otherwise report gets what doveconf
// printed on standard error, and why it was killed or, when it printed nothing, how it
// ended or why it could not be run. Throws nothing but std::bad_alloc.
bool checkDovecotConfig(std::string &report);

// The effective mail_max_userip_connections. Throws std::runtime_error when doveconf
// fails or the value is not a number.
std::uint32_t getDovecotConnectionsPerIpPerUserLimit();

// The effective IMAP connection limit: the imap service's process limit when each
// process serves one connection (restart request count 1), else the process limit
// times the client limit (32-bit, wrapping); a 0 stands for the global default. Throws
// std::runtime_error when a doveconf run fails or a value is not a number.
std::uint32_t getDovecotConnectionsLimit();

} // namespace velka::mail::dovecot

#endif
