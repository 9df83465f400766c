# Libraries of the system, each as an imported target.
if(VELKA_STATIC_DEPS)
  set(Boost_USE_STATIC_LIBS ON)
endif()
find_package(Boost 1.74 REQUIRED COMPONENTS program_options regex)
find_package(SQLite3 REQUIRED)
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
find_package(Threads REQUIRED)

find_path(IDN_INCLUDE_DIR idna.h REQUIRED)
if(VELKA_STATIC_DEPS)
  find_library(IDN_LIBRARY NAMES libidn.a REQUIRED)
else()
  find_library(IDN_LIBRARY NAMES idn REQUIRED)
endif()
add_library(velka::idn UNKNOWN IMPORTED)
set_target_properties(velka::idn PROPERTIES
  IMPORTED_LOCATION "${IDN_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${IDN_INCLUDE_DIR}")

find_path(CRYPT_INCLUDE_DIR crypt.h REQUIRED)
find_library(CRYPT_LIBRARY NAMES crypt REQUIRED)
add_library(velka::crypt UNKNOWN IMPORTED)
set_target_properties(velka::crypt PROPERTIES
  IMPORTED_LOCATION "${CRYPT_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${CRYPT_INCLUDE_DIR}")
