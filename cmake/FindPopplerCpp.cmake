# SPDX-License-Identifier: Apache-2.0
# poppler's C++ interface, through its pkg-config module. Sets PopplerCpp_FOUND, PopplerCpp_VERSION and
# the target PopplerCpp::PopplerCpp (the module's own results go by the prefix PC_POPPLER_CPP, as in
# FindPAPPL.cmake).
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(PC_POPPLER_CPP QUIET IMPORTED_TARGET poppler-cpp)
endif()
set(PopplerCpp_VERSION ${PC_POPPLER_CPP_VERSION})
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(PopplerCpp REQUIRED_VARS PC_POPPLER_CPP_LINK_LIBRARIES VERSION_VAR
                                  PopplerCpp_VERSION)
if(PopplerCpp_FOUND AND NOT TARGET PopplerCpp::PopplerCpp)
  add_library(PopplerCpp::PopplerCpp INTERFACE IMPORTED)
  target_link_libraries(PopplerCpp::PopplerCpp INTERFACE PkgConfig::PC_POPPLER_CPP)
endif()
