# Finds Dovecot 2.4's build metadata (dovecot-config) and headers, either on the system
# (a Debian 13 server with dovecot-dev) or inside a root tree such as the test bed's,
# given as DOVECOT_ROOT. Sets DOVECOT_FOUND, DOVECOT_INCLUDE_DIR and DOVECOT_ABI_VERSION;
# and, whenever dovecot-config is there, Dovecot's paths on the target system:
# DOVECOT_MODULE_DIR, DOVECOT_PKGLIB_DIR and DOVECOT_DOVECONF.
set(DOVECOT_ROOT "" CACHE PATH "Root tree that holds Dovecot 2.4's usr/lib/dovecot/dovecot-config")

set(DOVECOT_FOUND FALSE)
set(_dovecot_config "${DOVECOT_ROOT}/usr/lib/dovecot/dovecot-config")
if(NOT EXISTS "${_dovecot_config}")
  message(STATUS "Dovecot 2.4: no ${_dovecot_config}; the passdb plug-in will not be built")
  return()
endif()

file(STRINGS "${_dovecot_config}" _lines)
foreach(_line IN LISTS _lines)
  if(_line MATCHES "^dovecot_pkgincludedir=(.*)$")
    set(_incdir "${CMAKE_MATCH_1}")
  elseif(_line MATCHES "^dovecot_moduledir=(.*)$")
    set(DOVECOT_MODULE_DIR "${CMAKE_MATCH_1}")
  elseif(_line MATCHES "^dovecot_pkglibdir=(.*)$")
    set(DOVECOT_PKGLIB_DIR "${CMAKE_MATCH_1}")
  endif()
endforeach()

# dovecot-config names no program directory; Dovecot installs its programs in the
# bin directory of the prefix that holds its library directory, PREFIX/lib/dovecot.
string(REGEX REPLACE "/lib[^/]*/dovecot$" "" _prefix "${DOVECOT_PKGLIB_DIR}")
set(DOVECOT_DOVECONF "${_prefix}/bin/doveconf" CACHE FILEPATH
  "doveconf of the Dovecot built against, as it runs on the target system")

set(DOVECOT_INCLUDE_DIR "${DOVECOT_ROOT}${_incdir}")
if(NOT EXISTS "${DOVECOT_INCLUDE_DIR}/config.h" OR NOT EXISTS "${DOVECOT_INCLUDE_DIR}/passdb.h")
  message(STATUS "Dovecot 2.4: headers missing in ${DOVECOT_INCLUDE_DIR}; the passdb plug-in will not be built")
  return()
endif()

file(STRINGS "${DOVECOT_INCLUDE_DIR}/config.h" _abi REGEX "^#define DOVECOT_ABI_VERSION ")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" DOVECOT_ABI_VERSION "${_abi}")
if(NOT DOVECOT_ABI_VERSION MATCHES "^2\\.4\\.")
  message(STATUS "Dovecot: ABI ${DOVECOT_ABI_VERSION} is not 2.4; the passdb plug-in will not be built")
  return()
endif()

set(DOVECOT_FOUND TRUE)
message(STATUS "Dovecot 2.4: headers ${DOVECOT_INCLUDE_DIR}, ABI ${DOVECOT_ABI_VERSION}, modules ${DOVECOT_MODULE_DIR}")
