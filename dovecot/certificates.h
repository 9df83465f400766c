// Per-domain SSL certificates: one include file per certificate name holding a
// local_name block, so that Dovecot picks the certificate by the server name (SNI) that
// an IMAPS or POP3S client asks for. Nothing here reloads Dovecot.
#ifndef VELKA_DOVECOT_CERTIFICATES_H
#define VELKA_DOVECOT_CERTIFICATES_H

#include <string>

namespace velka::mail::dovecot {

// Writes "14-velka-sni-NAME.conf" naming certFile as both certificate and key file
// (the file holds the chain and the key). Returns 0, or -1 after one line on standard
// error when the name fails the domain-name rule, the path is not absolute or holds a
// control character, certFile is not a readable regular file of at most 1 MiB (a link
// to one is fine; it is examined without blocking), all of which Dovecot would refuse
// (nothing is written then), or the file cannot be written (its earlier content stays).
int installDovecotCertificate(const std::string &name, const std::string &certFile);

// Removes the file of name: 0 when removed or missing; -1 after one line on standard
// error when the name fails the domain-name rule or the file cannot be removed.
int removeDovecotCertificate(const std::string &name);

// Deletes every entry of the include directory whose whole name matches
// "14-velka-sni-.*\.conf". Returns 0; a directory that cannot be read or an entry that
// cannot be deleted throws std::filesystem::filesystem_error (entries deleted before
// stay deleted).
int removeDovecotAllDomainCertificates();

} // namespace velka::mail::dovecot

#endif
