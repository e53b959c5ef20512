# SPDX-License-Identifier: Apache-2.0
# The system's crypt library (libxcrypt), which hashes the administrator password. Sets Crypt_FOUND and
# the target Crypt::Crypt.
find_path(Crypt_INCLUDE_DIR crypt.h)
find_library(Crypt_LIBRARY crypt)
mark_as_advanced(Crypt_INCLUDE_DIR Crypt_LIBRARY)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Crypt REQUIRED_VARS Crypt_LIBRARY Crypt_INCLUDE_DIR)
if(Crypt_FOUND AND NOT TARGET Crypt::Crypt)
  add_library(Crypt::Crypt UNKNOWN IMPORTED)
  set_target_properties(Crypt::Crypt PROPERTIES IMPORTED_LOCATION "${Crypt_LIBRARY}" INTERFACE_INCLUDE_DIRECTORIES
                                                                                     "${Crypt_INCLUDE_DIR}")
endif()
