/* The Dovecot functions that the plug-in's glue calls, declared weak.
 *
 * The same library is Dovecot's passdb module and the C API of the panel's
 * programs, which load it outside Dovecot, often with immediate binding
 * (-z now, LD_BIND_NOW, dlopen RTLD_NOW). There these functions do not exist,
 * and a strong reference would stop the load; a weak one binds to null
 * instead. Inside the auth process they bind as usual. Outside Dovecot the
 * glue is never called, so the null is never called either.
 *
 * Every glue file that calls Dovecot includes this header after Dovecot's own.
 * A new Dovecot function or variable used by the glue belongs here: the unit
 * test that loads the built module with RTLD_NOW names any that is missing. */
#ifndef VELKA_DOVECOT_WEAK_H
#define VELKA_DOVECOT_WEAK_H

#pragma weak array_idx_modifiable_i
#pragma weak auth_request_password_verify
#pragma weak auth_request_set_field
#pragma weak e_debug
#pragma weak e_info
#pragma weak e_warning
#pragma weak event_send_abort
#pragma weak event_want_level
#pragma weak i_fatal
#pragma weak i_info
#pragma weak i_panic
#pragma weak p_strdup
#pragma weak passdb_handle_credentials
#pragma weak passdb_register_module
#pragma weak passdb_unregister_module
#pragma weak safe_memset
#pragma weak settings_get_or_fatal
#pragma weak str_equals_timing_almost_safe
#pragma weak t_malloc0
#pragma weak t_pop
#pragma weak t_push
#pragma weak t_strdup
#pragma weak t_strdup_printf
#pragma weak t_strdup_until

/* The auth binary's flag that the process is an auth-worker. */
#pragma weak worker

#endif
