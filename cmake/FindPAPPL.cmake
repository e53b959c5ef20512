# SPDX-License-Identifier: Apache-2.0
# The PAPPL framework, through its pkg-config module. Sets PAPPL_FOUND, PAPPL_VERSION and the target
# PAPPL::PAPPL. The module's own results go by another prefix, PC_PAPPL: pkg_check_modules() keeps
# them in the cache, and a cached PAPPL_FOUND would outlive -DCMAKE_DISABLE_FIND_PACKAGE_PAPPL=ON.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(PC_PAPPL QUIET IMPORTED_TARGET pappl)
endif()
set(PAPPL_VERSION ${PC_PAPPL_VERSION})
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(PAPPL REQUIRED_VARS PC_PAPPL_LINK_LIBRARIES VERSION_VAR PAPPL_VERSION)
if(PAPPL_FOUND AND NOT TARGET PAPPL::PAPPL)
  add_library(PAPPL::PAPPL INTERFACE IMPORTED)
  target_link_libraries(PAPPL::PAPPL INTERFACE PkgConfig::PC_PAPPL)
endif()
