# Installation of everything but the Dovecot modules (whose directories come from
# Dovecot's dovecot-config, see mail/dovecot/authdb/CMakeLists.txt): wendra with its
# manual page, the administrator's guide, and the C API of libauthdb_velka, headers
# and pkg-config file, for the panel's other programs. GNU directories throughout.
install(TARGETS wendra RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/wendra.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/ADMIN-GUIDE.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(NOT TARGET authdb_velka)
  return()
endif()

# The headers keep their paths below include/velka, as they name each other.
set(_velka_api_dir ${CMAKE_INSTALL_INCLUDEDIR}/velka)
install(FILES
  ${PROJECT_SOURCE_DIR}/mail/dovecot/authdb/authdb_export.h
  ${PROJECT_SOURCE_DIR}/mail/dovecot/authdb/base64.h
  ${PROJECT_SOURCE_DIR}/mail/dovecot/authdb/mail_aes.h
  ${PROJECT_SOURCE_DIR}/mail/dovecot/authdb/mail_auth_db.h
  ${PROJECT_SOURCE_DIR}/mail/dovecot/authdb/symmetric_cipher.h
  ${PROJECT_SOURCE_DIR}/mail/dovecot/authdb/velka_cipher.h
  ${PROJECT_SOURCE_DIR}/mail/dovecot/authdb/vqa_conf.h
  DESTINATION ${_velka_api_dir}/mail/dovecot/authdb)
install(FILES ${PROJECT_SOURCE_DIR}/lib/log/velka_log.h DESTINATION ${_velka_api_dir}/lib/log)
install(FILES ${PROJECT_SOURCE_DIR}/lib/util/user_lookup.h DESTINATION ${_velka_api_dir}/lib/util)

set(VELKA_PC_INCLUDEDIR ${CMAKE_INSTALL_FULL_INCLUDEDIR})
set(VELKA_PC_AUTH_MODULEDIR ${DOVECOT_MODULE_DIR}/auth)
configure_file(${CMAKE_CURRENT_LIST_DIR}/libauthdb_velka.pc.in
  ${PROJECT_BINARY_DIR}/libauthdb_velka.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/libauthdb_velka.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
