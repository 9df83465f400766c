/* Dovecot 2.4 passdb driver "velka": authenticates logins against the panel's
 * mail authentication database and reports each outcome as a passdb result with
 * one log line on the request's event. */
#include "auth-common.h"
#include "passdb.h"
#include "safe-memset.h"
#include "settings.h"

#include "mail/dovecot/authdb/db-velka.h"
#include "mail/dovecot/authdb/dovecot-weak.h"
#include "mail/dovecot/authdb/passdb-velka-settings.h"

struct velka_passdb_module {
    struct passdb_module module;
    struct velka_mail_args args;
};

/* The loader compares this with its own ABI string, so it comes from the
   headers of the Dovecot the module is built against. */
const char *authdb_velka_version = DOVECOT_ABI_VERSION;

void authdb_velka_init(void);
void authdb_velka_deinit(void);
extern struct passdb_module_interface passdb_velka_plugin;

static int passdb_velka_preinit(pool_t pool, struct event *event,
#ifdef VELKA_PASSDB_PREINIT_HAS_PARAMETERS
                                const struct passdb_parameters *params ATTR_UNUSED,
#endif
                                struct passdb_module **module_r, const char **error_r ATTR_UNUSED) {
    const struct auth_velka_settings *set;
    struct velka_passdb_module *module;

    module = p_new(pool, struct velka_passdb_module, 1);
    module->module.default_cache_key = NULL;
    module->module.default_pass_scheme = "PLAIN";
    module->module.blocking = FALSE;
    *module_r = &module->module;

    set = settings_get_or_fatal(event, &auth_velka_imap_setting_parser_info);
    /* Dovecot 2.4 overwrites this with passdb { use_worker } right after
       preinit: velka_blocking is accepted but use_worker decides. */
    module->module.blocking = set->velka_blocking;
    module->args.smtp_server = p_strdup(pool, set->velka_smtp_server);
    if (set->velka_allow_shortnames)
        module->args.flags |= VELKA_MAIL_ARG_SHORTNAMES;
    if (set->velka_allow_maildir_stat)
        module->args.flags |= VELKA_MAIL_ARG_MAILDIR_STAT;
    settings_free(set);
    return 0;
}

static void passdb_velka_init(struct passdb_module *_module) {
    struct velka_passdb_module *module = container_of(_module, struct velka_passdb_module, module);

    /* blocking holds use_worker by now. The auth process then hands every
       lookup of this passdb to its workers. */
    if (worker)
        module->args.flags |= VELKA_MAIL_ARG_WORKER;
    else if (module->module.blocking)
        module->args.flags |= VELKA_MAIL_ARG_LOOKUPS_IN_WORKERS;
    /* A cipher that failed here is set up again at each decryption. */
    (void)velka_mail_init(&module->args);
}

static void passdb_velka_deinit(struct passdb_module *_module ATTR_UNUSED) {
    velka_mail_deinit();
}

static void passdb_velka_log_mismatch(struct auth_request *request, struct event *event,
                                      const struct velka_mail_auth *auth) {
    const char *supplied = "", *account = "";

    if (request->set->debug_passwords) {
        if (auth->plain && auth->password != NULL)
            supplied = t_strdup_printf("='%s' (PLAIN)", auth->password);
        /* A comparing lookup keeps no password of an account that
           did not match; its scheme is all there is to show. */
        account = auth->stored_password != NULL
                      ? t_strdup_printf("='%s' (%s)", auth->stored_password, auth->scheme)
                      : t_strdup_printf(" (%s)", auth->scheme != NULL ? auth->scheme : "none");
    }
    e_info(event,
           "Found mail account for user='%s' (address='%s'), "
           "but supplied password%s does not match account password%s",
           request->fields.user, auth->address, supplied, account);
}

static void passdb_velka_log_lookup(struct auth_request *request,
                                    const struct velka_mail_auth *auth) {
    struct event *event = authdb_event(request);
    const char *user = request->fields.user;

    switch (auth->result) {
    case VELKA_LOOKUP_SHORT_NOT_PLAIN:
        e_info(event,
               "Mail account information for user='%s' was not "
               "found because short mailnames are not supported with "
               "non-plaintext authentication mechanisms",
               user);
        break;
    case VELKA_LOOKUP_SHORT_REFUSED:
        e_info(event,
               "Mail account information for user='%s' was not "
               "found because user format is invalid (short mailnames "
               "are %sallowed)",
               user, (auth->args->flags & VELKA_MAIL_ARG_SHORTNAMES) != 0 ? "" : "not ");
        break;
    case VELKA_LOOKUP_INTERNAL:
        e_warning(event,
                  "Internal error occurred during mail account "
                  "lookup for user='%s'",
                  user);
        break;
    case VELKA_LOOKUP_FOUND:
        e_debug(event,
                "Found mail account for user='%s':%s "
                "scheme='%s' address='%s'",
                user,
                request->set->debug_passwords
                    ? t_strdup_printf(" password='%s'", auth->stored_password)
                    : "",
                auth->scheme, auth->address);
        break;
    case VELKA_LOOKUP_UNKNOWN:
        e_info(event,
               "Mail account information for user='%s' was not "
               "found",
               user);
        break;
    case VELKA_LOOKUP_MISMATCH:
        passdb_velka_log_mismatch(request, event, auth);
        break;
    case VELKA_LOOKUP_DISABLED:
        e_info(event, "Mail account for user='%s' is disabled", user);
        break;
    }
}

static enum passdb_result passdb_velka_result(int code) {
    switch (code) {
    case VELKA_LOOKUP_SHORT_NOT_PLAIN:
    case VELKA_LOOKUP_SHORT_REFUSED:
    case VELKA_LOOKUP_UNKNOWN:
        return PASSDB_RESULT_USER_UNKNOWN;
    case VELKA_LOOKUP_INTERNAL:
        return PASSDB_RESULT_INTERNAL_FAILURE;
    case VELKA_LOOKUP_FOUND:
        return PASSDB_RESULT_OK;
    case VELKA_LOOKUP_MISMATCH:
        return PASSDB_RESULT_PASSWORD_MISMATCH;
    case VELKA_LOOKUP_DISABLED:
        return PASSDB_RESULT_USER_DISABLED;
    }
    i_fatal("passdb velka: Unexpected authentication lookup result code: %d", code);
}

/* A found account continues under its full address and, when asked, must
   have a Maildir: an address without one is an alias. */
static enum passdb_result passdb_velka_accept(struct auth_request *request,
                                              const struct velka_passdb_module *module,
                                              const struct velka_mail_auth *auth) {
    struct event *event = authdb_event(request);
    const char *path;

    if ((module->args.flags & VELKA_MAIL_ARG_SHORTNAMES) != 0)
        auth_request_set_field(request, "user", auth->address, NULL);
    if ((module->args.flags & VELKA_MAIL_ARG_MAILDIR_STAT) == 0)
        return PASSDB_RESULT_OK;

    switch (check_maildir_exists(request->fields.user, &path)) {
    case 0:
        e_debug(event, "Valid Maildir found for user='%s' at '%s'", request->fields.user, path);
        return PASSDB_RESULT_OK;
    case 1:
        e_info(event,
               "Login for user='%s' is prohibited. Maildir for it "
               "doesn't exist at '%s', so it must be an alias. Logging in "
               "via aliases is not allowed.",
               request->fields.user, path);
        return PASSDB_RESULT_USER_UNKNOWN;
    default:
        e_info(event,
               "An unexpected error occurred while checking for "
               "Maildir existence at '%s' for user='%s'",
               path, request->fields.user);
        return PASSDB_RESULT_INTERNAL_FAILURE;
    }
}

/* The lookup of a request. The stored password and scheme it returns are the
   lookup's own copies on the data stack: the caller runs it inside a frame of
   its own and wipes the password with passdb_velka_forget() before the frame
   ends, on every path. */
static enum passdb_result passdb_velka_lookup_and_set_extra_fields(struct auth_request *request,
                                                                   const char *password,
                                                                   const char **password_r,
                                                                   const char **scheme_r,
                                                                   bool plain) {
    const struct velka_passdb_module *module =
        container_of(request->passdb->passdb, struct velka_passdb_module, module);
    struct velka_mail_auth *auth;
    enum passdb_result result;

    i_assert(request && password_r && scheme_r);

    auth = velka_mail_auth_lookup(request->fields.user, password, &module->args, plain);
    passdb_velka_log_lookup(request, auth);
    *password_r = auth->stored_password;
    *scheme_r = auth->scheme;

    result = passdb_velka_result(auth->result);
    if (result == PASSDB_RESULT_OK)
        result = passdb_velka_accept(request, module, auth);
    return result;
}

static void passdb_velka_forget(const char *stored) {
    if (stored != NULL)
        safe_memset((char *)stored, 0, strlen(stored));
}

static void passdb_velka_verify_plain(struct auth_request *request, const char *password,
                                      verify_plain_callback_t *callback) {
    enum passdb_result result;

    T_BEGIN {
        const char *stored, *scheme;

        result =
            passdb_velka_lookup_and_set_extra_fields(request, password, &stored, &scheme, TRUE);
        if (result == PASSDB_RESULT_OK &&
            auth_request_password_verify(request, authdb_event(request), password, stored,
                                         scheme) <= 0)
            result = PASSDB_RESULT_PASSWORD_MISMATCH;
        passdb_velka_forget(stored);
    }
    T_END;
    callback(result, request);
}

static void passdb_velka_lookup_credentials(struct auth_request *request,
                                            lookup_credentials_callback_t *callback) {
    T_BEGIN {
        const char *stored, *scheme;
        enum passdb_result result;

        result = passdb_velka_lookup_and_set_extra_fields(request, NULL, &stored, &scheme, FALSE);
        /* Hands the credentials on decoded into a buffer of its own. */
        passdb_handle_credentials(result, stored, scheme, callback, request);
        passdb_velka_forget(stored);
    }
    T_END;
}

struct passdb_module_interface passdb_velka_plugin = {
    .name = "velka",

    .preinit = passdb_velka_preinit,
    .init = passdb_velka_init,
    .deinit = passdb_velka_deinit,

    .verify_plain = passdb_velka_verify_plain,
    .lookup_credentials = passdb_velka_lookup_credentials,
};

void authdb_velka_init(void) {
    passdb_register_module(&passdb_velka_plugin);
}

void authdb_velka_deinit(void) {
    passdb_unregister_module(&passdb_velka_plugin);
}
