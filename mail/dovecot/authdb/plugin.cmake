# The Dovecot module libauthdb_velka.so. It is C (Dovecot's macros are C-only), built
# against the headers of the Dovecot it will be loaded into, and left with undefined
# references to libdovecot and the auth binary, which provide them at load time. A
# sanitizer build leaves it out: Dovecot cannot load a module that needs ASan's runtime.
if(NOT DOVECOT_FOUND OR VELKA_SANITIZE)
  return()
endif()

add_library(authdb_velka MODULE ${CMAKE_CURRENT_LIST_DIR}/passdb-velka.c)
set_target_properties(authdb_velka PROPERTIES
  PREFIX "lib"
  OUTPUT_NAME "authdb_velka"
  C_STANDARD 11
  C_EXTENSIONS ON)
target_compile_definitions(authdb_velka PRIVATE HAVE_CONFIG_H)
target_include_directories(authdb_velka SYSTEM PRIVATE ${DOVECOT_INCLUDE_DIR})
# Dovecot's headers use unused parameters in inline functions.
target_compile_options(authdb_velka PRIVATE -Wno-unused-parameter)
install(TARGETS authdb_velka LIBRARY DESTINATION "${DOVECOT_MODULE_DIR}/auth")
