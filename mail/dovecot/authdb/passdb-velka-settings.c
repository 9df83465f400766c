/* Settings table, defaults and check of the passdb driver "velka". */
#include "lib.h"
#include "settings-parser.h"

#include "mail/dovecot/authdb/passdb-velka-settings.h"

#include <strings.h>

#undef DEF
#define DEF(type, name) SETTING_DEFINE_STRUCT_##type(#name, name, struct auth_velka_settings)

const struct setting_define auth_velka_passdb_settings_defines[] = {
    DEF(BOOL, velka_allow_shortnames), DEF(BOOL, velka_blocking),
    DEF(STR_NOVARS, velka_smtp_server), DEF(BOOL, velka_allow_maildir_stat),

    SETTING_DEFINE_LIST_END};

static const struct auth_velka_settings auth_velka_default_settings = {
    .velka_allow_shortnames = FALSE,
    .velka_blocking = FALSE,
    .velka_smtp_server = "",
    .velka_allow_maildir_stat = TRUE,
};

static bool auth_velka_settings_check(struct event *event ATTR_UNUSED, void *_set,
                                      pool_t pool ATTR_UNUSED, const char **error_r) {
    const struct auth_velka_settings *set = _set;
    const char *server = set->velka_smtp_server;

    if (server != NULL && *server != '\0' && strcasecmp(server, "QMail") != 0 &&
        strcasecmp(server, "Postfix") != 0 && strcasecmp(server, "autodetect") != 0) {
        *error_r = "Invalid value for smtp_server, expected 'QMail', "
                   "'Postfix', 'autodetect' or empty string";
        return FALSE;
    }
    return TRUE;
}

const struct setting_parser_info auth_velka_imap_setting_parser_info = {
    .name = "auth_velka",
    .defines = auth_velka_passdb_settings_defines,
    .defaults = &auth_velka_default_settings,
    .struct_size = sizeof(struct auth_velka_settings),
    .pool_offset1 = 1 + offsetof(struct auth_velka_settings, pool),
    .ext_check_func = auth_velka_settings_check,
};
