# Tests of the passdb plug-in. The integration tests run accounts prepared by the
# administration driver inside the Dovecot test bed.
add_executable(authdb_admin ${CMAKE_CURRENT_LIST_DIR}/authdb_admin.cpp)
target_link_libraries(authdb_admin PRIVATE velka_authdb_core velka_userlookup velka_log)

# The glue is C on Dovecot's headers; outside Dovecot it runs on a stand-in for
# the few runtime functions it calls.
if(DOVECOT_FOUND)
  add_library(authdb_db_velka_glue OBJECT
    ${CMAKE_CURRENT_LIST_DIR}/db-velka_stub.c
    ${PROJECT_SOURCE_DIR}/mail/dovecot/authdb/db-velka.c)
  target_compile_definitions(authdb_db_velka_glue PRIVATE HAVE_CONFIG_H
    VELKA_VERSION="${PROJECT_VERSION}")
  target_include_directories(authdb_db_velka_glue PRIVATE ${PROJECT_SOURCE_DIR})
  target_include_directories(authdb_db_velka_glue SYSTEM PRIVATE ${DOVECOT_INCLUDE_DIR})
  velka_add_gtest(authdb_db_velka_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/db-velka_test.cpp
    LIBS authdb_db_velka_glue velka_authdb_core velka_userlookup velka_log velka::crypt)
endif()
if(TARGET authdb_velka)
  velka_add_gtest(authdb_module_load_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/module_load_test.cpp
    LIBS ${CMAKE_DL_LIBS})
  target_compile_definitions(authdb_module_load_test PRIVATE
    VELKA_MODULE_PATH="$<TARGET_FILE:authdb_velka>")
  add_dependencies(authdb_module_load_test authdb_velka)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/hardening.cmake)
