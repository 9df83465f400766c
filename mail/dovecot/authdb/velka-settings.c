/* Dovecot settings library of the passdb driver "velka": installed in the
 * settings module directory, it makes the config process and doveconf know the
 * driver's settings, which the authentication process then receives. */
#include "lib.h"
#include "settings-parser.h"

#include "mail/dovecot/authdb/passdb-velka-settings.h"

extern const char *velka_settings_version;
extern const struct setting_parser_info *const velka_settings_set_infos[];

const char *velka_settings_version = DOVECOT_ABI_VERSION;

const struct setting_parser_info *const velka_settings_set_infos[] = {
    &auth_velka_imap_setting_parser_info, NULL};
