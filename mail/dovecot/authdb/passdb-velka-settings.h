/* Settings of the passdb driver "velka", shared by the plug-in, which reads
 * them, and by its settings library, through which Dovecot's config process and
 * doveconf know and check them. */
#ifndef PASSDB_VELKA_SETTINGS_H
#define PASSDB_VELKA_SETTINGS_H

#include "settings-parser.h"

struct auth_velka_settings {
    pool_t pool;
    bool velka_allow_shortnames;
    /* Dovecot 2.4 takes "blocking" from passdb { use_worker } instead;
       kept so that existing configurations stay valid. */
    bool velka_blocking;
    const char *velka_smtp_server;
    bool velka_allow_maildir_stat;
};

extern const struct setting_define auth_velka_passdb_settings_defines[];
extern const struct setting_parser_info auth_velka_imap_setting_parser_info;

#endif
