// Where Debian's Dovecot keeps its programs, library and modules.
#ifndef VELKA_AUTHCHECK_DOVECOT_PATHS_H
#define VELKA_AUTHCHECK_DOVECOT_PATHS_H

namespace velka::authcheck {

constexpr const char DOVECONF[] = "/usr/bin/doveconf";
constexpr const char LIBDOVECOT[] = "/usr/lib/dovecot/libdovecot.so.0";
constexpr const char PLUGIN[] = "/usr/lib/dovecot/modules/auth/libauthdb_velka.so";
constexpr const char SETTINGS_LIBRARY[] = "/usr/lib/dovecot/modules/settings/libvelka_settings.so";

} // namespace velka::authcheck

#endif
