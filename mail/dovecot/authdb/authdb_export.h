/* Marks the functions that libauthdb_velka exports to Dovecot and to the panel's
 * other programs: default visibility, so they stay exported when the library is
 * built with -fvisibility=hidden. */
#ifndef VELKA_AUTHDB_EXPORT_H
#define VELKA_AUTHDB_EXPORT_H

#define VELKA_AUTHDB_EXPORT __attribute__((visibility("default")))

#endif
