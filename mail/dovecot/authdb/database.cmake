# The mail authentication database: schema, paths and style, lookups and
# administration, added to the library's core objects. The user and group
# lookups are an object library too: whatever links velka_authdb_core must link
# velka_userlookup (and velka_log) itself, since objects do not pass through.
target_sources(velka_authdb_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/mail_auth_busy.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mail_auth_paths.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mail_auth_schema.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mail_auth_lookup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mail_auth_admin.cpp
)
target_link_libraries(velka_authdb_core PUBLIC SQLite::SQLite3 velka::crypt velka_userlookup)
