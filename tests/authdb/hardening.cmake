# Hardening tests of the library: long lookup runs with constant memory and
# descriptors (with the plug-in's glue where Dovecot's headers are there), and
# damaged, missing or hostile files.
velka_add_gtest(authdb_lookup_soak_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_lookup_soak.cpp
  LIBS velka_authdb_core velka_userlookup velka_log velka::crypt)
if(DOVECOT_FOUND)
  target_link_libraries(authdb_lookup_soak_test PRIVATE authdb_db_velka_glue)
  target_compile_definitions(authdb_lookup_soak_test PRIVATE VELKA_SOAK_WITH_GLUE)
endif()
velka_add_gtest(authdb_mail_auth_hostile_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_mail_auth_hostile.cpp
  LIBS velka_authdb_core velka_userlookup velka_log)
