/* Dovecot 2.4 passdb driver "velka": registration with the authentication process.
 * The lookups against the panel's mail database are added on top of this shell; until
 * then every login is answered "user unknown", so the driver never lets anyone in. */
#include "auth-common.h"
#include "passdb.h"

#include <stdbool.h>

struct velka_passdb_module {
	struct passdb_module module;
};

static int
velka_preinit(pool_t pool, struct event *event ATTR_UNUSED,
	      struct passdb_module **module_r, const char **error_r ATTR_UNUSED)
{
	struct velka_passdb_module *module;

	module = p_new(pool, struct velka_passdb_module, 1);
	*module_r = &module->module;
	return 0;
}

static void
velka_verify_plain(struct auth_request *request, const char *password ATTR_UNUSED,
		   verify_plain_callback_t *callback)
{
	e_info(authdb_event(request), "no mail database support in this build");
	callback(PASSDB_RESULT_USER_UNKNOWN, request);
}

static void
velka_lookup_credentials(struct auth_request *request,
			 lookup_credentials_callback_t *callback)
{
	e_info(authdb_event(request), "no mail database support in this build");
	callback(PASSDB_RESULT_USER_UNKNOWN, NULL, 0, request);
}

static struct passdb_module_interface passdb_velka = {
	.name = "velka",
	.preinit = velka_preinit,
	.verify_plain = velka_verify_plain,
	.lookup_credentials = velka_lookup_credentials,
};

void authdb_velka_init(void);
void authdb_velka_deinit(void);

/* The loader compares this with its own ABI string; it must come from the headers of
 * the Dovecot the module is built against. */
const char *authdb_velka_version = DOVECOT_ABI_VERSION;

void authdb_velka_init(void)
{
	passdb_register_module(&passdb_velka);
}

void authdb_velka_deinit(void)
{
	passdb_unregister_module(&passdb_velka);
}
