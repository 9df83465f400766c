# Tests of the mail authentication database. The user and group lookups that
# the database code calls are an object library, whose objects every binary
# linking velka_authdb_core must link itself.
velka_add_gtest(authdb_mail_auth_schema_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_mail_auth_schema.cpp
  LIBS velka_authdb_core velka_userlookup velka_log)
target_compile_definitions(authdb_mail_auth_schema_test PRIVATE VELKA_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
velka_add_gtest(authdb_mail_auth_lookup_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_mail_auth_lookup.cpp
  LIBS velka_authdb_core velka_userlookup velka_log velka::crypt)
velka_add_gtest(authdb_mail_auth_concurrency_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_mail_auth_concurrency.cpp
  LIBS velka_authdb_core velka_userlookup velka_log)
velka_add_gtest(authdb_mail_auth_handle_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_mail_auth_handle.cpp LIBS velka_authdb_core velka_userlookup velka_log)
