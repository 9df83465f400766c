# The Dovecot module libauthdb_velka.so and its settings library. Both are C
# (Dovecot's settings macros are C-only), built against the headers of the
# Dovecot they will be loaded into, and left with undefined references to
# libdovecot and the auth binary, which provide them at load time. A sanitizer
# build leaves them out: Dovecot cannot load a module that needs ASan's runtime.
if(NOT DOVECOT_FOUND OR VELKA_SANITIZE)
  return()
endif()

# What changed between 2.4 releases is read from the headers built against, not from
# a table of release numbers: from 2.4.3 on, a passdb's preinit also receives the
# passdb's parameters. (2.4.5 also dropped set_credentials from the interface, which the
# driver leaves unset on every release.)
include(CheckCSourceCompiles)
include(CMakePushCheckState)
cmake_push_check_state(RESET)
unset(VELKA_PASSDB_PREINIT_HAS_PARAMETERS CACHE)  # DOVECOT_ROOT may point elsewhere now
set(CMAKE_REQUIRED_INCLUDES ${DOVECOT_INCLUDE_DIR})
set(CMAKE_REQUIRED_DEFINITIONS -DHAVE_CONFIG_H)
set(CMAKE_REQUIRED_FLAGS "-std=gnu11 -Werror=incompatible-pointer-types")
check_c_source_compiles([[
#include "auth-common.h"
#include "passdb.h"
static int preinit(pool_t pool, struct event *event,
                   const struct passdb_parameters *params,
                   struct passdb_module **module_r, const char **error_r)
{
	(void)pool; (void)event; (void)params; (void)module_r; (void)error_r;
	return 0;
}
struct passdb_module_interface iface = { .preinit = preinit };
int main(void) { return iface.preinit == NULL; }
]] VELKA_PASSDB_PREINIT_HAS_PARAMETERS)
cmake_pop_check_state()

function(velka_dovecot_module target)
  set_target_properties(${target} PROPERTIES
    PREFIX "lib"
    C_STANDARD 11
    C_EXTENSIONS ON)
  target_compile_definitions(${target} PRIVATE HAVE_CONFIG_H
    $<$<BOOL:${VELKA_PASSDB_PREINIT_HAS_PARAMETERS}>:VELKA_PASSDB_PREINIT_HAS_PARAMETERS>)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_include_directories(${target} SYSTEM PRIVATE ${DOVECOT_INCLUDE_DIR})
  # Dovecot's headers have unused parameters in inline functions.
  target_compile_options(${target} PRIVATE -Wno-unused-parameter)
endfunction()

# The plug-in: the Dovecot glue, plus the library's core objects, logging and
# user lookups, which it exports for the panel's other programs.
add_library(authdb_velka MODULE
  ${CMAKE_CURRENT_LIST_DIR}/passdb-velka.c
  ${CMAKE_CURRENT_LIST_DIR}/passdb-velka-settings.c
  ${CMAKE_CURRENT_LIST_DIR}/db-velka.c)
velka_dovecot_module(authdb_velka)
set(_velka_map ${CMAKE_CURRENT_LIST_DIR}/libauthdb_velka.map)
set_target_properties(authdb_velka PROPERTIES
  OUTPUT_NAME "authdb_velka"
  LINKER_LANGUAGE CXX
  LINK_DEPENDS ${_velka_map})
target_link_options(authdb_velka PRIVATE -Wl,--version-script=${_velka_map})
target_compile_options(authdb_velka PRIVATE
  -include ${CMAKE_CURRENT_LIST_DIR}/dovecot-weak.h)
target_compile_definitions(authdb_velka PRIVATE VELKA_VERSION="${PROJECT_VERSION}")
target_link_libraries(authdb_velka PRIVATE
  velka_authdb_core velka_log velka_userlookup velka::crypt)

# The settings library: without it the config process and doveconf reject the
# driver's settings as unknown. Dovecot finds velka_settings_set_infos in
# libvelka_settings.so by the file's name.
add_library(velka_settings MODULE
  ${CMAKE_CURRENT_LIST_DIR}/velka-settings.c
  ${CMAKE_CURRENT_LIST_DIR}/passdb-velka-settings.c)
velka_dovecot_module(velka_settings)
set_target_properties(velka_settings PROPERTIES OUTPUT_NAME "velka_settings")

install(TARGETS authdb_velka LIBRARY DESTINATION "${DOVECOT_MODULE_DIR}/auth")
install(TARGETS velka_settings LIBRARY DESTINATION "${DOVECOT_MODULE_DIR}/settings")
