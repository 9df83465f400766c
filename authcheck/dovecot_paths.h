// Where the Dovecot that the plug-in is built for keeps its programs, library and
// modules, as its dovecot-config gives them to the build.
#ifndef VELKA_AUTHCHECK_DOVECOT_PATHS_H
#define VELKA_AUTHCHECK_DOVECOT_PATHS_H

namespace velka::authcheck {

constexpr const char DOVECONF[] = VELKA_DOVECONF;
constexpr const char LIBDOVECOT[] = VELKA_DOVECOT_PKGLIB_DIR "/libdovecot.so.0";
// Dovecot finds a driver's module and settings library by these names.
constexpr const char PLUGIN[] = VELKA_DOVECOT_MODULE_DIR "/auth/libauthdb_velka.so";
constexpr const char SETTINGS_LIBRARY[] = VELKA_DOVECOT_MODULE_DIR "/settings/libvelka_settings.so";

} // namespace velka::authcheck

#endif
