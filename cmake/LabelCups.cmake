# SPDX-License-Identifier: Apache-2.0
# The CUPS libraries and the scheduler's folders, found three ways: through cups-config where it exists
# (CUPS up to 2.4; Debian 12 has nothing else), else through pkg-config's cups module (CUPS 2.5 drops
# cups-config), else through the libraries and headers themselves with the usual folders.
#
# Sets LABEL_CUPS_FOUND_BY (cups-config, pkg-config or headers), LABEL_CUPS_SYSTEM_SERVERBIN and
# LABEL_CUPS_SYSTEM_DATADIR (where this system's scheduler keeps its programs and data), the cache
# variables LABEL_CUPS_SERVERBIN and LABEL_CUPS_DATADIR (where the install puts the filter and the PPD
# files; the system's folders unless set), the target cups_libraries, and writes the folders to
# cups-folders.txt in the build folder for scripts that need them without cups-config.

set(LABEL_CUPS_DEFAULT_SERVERBIN /usr/lib/cups)
set(LABEL_CUPS_DEFAULT_DATADIR /usr/share/cups)

# -DLABEL_CUPS_CONFIG=/nonexistent (any path that is not a program) leaves cups-config out.
find_program(LABEL_CUPS_CONFIG cups-config DOC "cups-config, which CUPS up to 2.4 ships")

# 'label_cups_flag_paths()' - the folders that -I or -L flags name in a flag string, for search hints.
function(label_cups_flag_paths flags prefix out)
  separate_arguments(words UNIX_COMMAND "${flags}")
  set(paths)
  foreach(word ${words})
    if(word MATCHES "^${prefix}(.+)$")
      list(APPEND paths ${CMAKE_MATCH_1})
    endif()
  endforeach()
  set(${out} ${paths} PARENT_SCOPE)
endfunction()

# 'label_cups_pc_variable()' - the first of the named variables that the cups module defines, or "".
function(label_cups_pc_variable out)
  foreach(name ${ARGN})
    pkg_get_variable(value cups ${name})
    if(value)
      set(${out} ${value} PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

set(_cups_include_hints)
set(_cups_library_hints)
set(_cups_serverbin)
set(_cups_datadir)
set(_cups_config_ok FALSE)
if(LABEL_CUPS_CONFIG AND EXISTS "${LABEL_CUPS_CONFIG}" AND NOT IS_DIRECTORY "${LABEL_CUPS_CONFIG}")
  execute_process(COMMAND ${LABEL_CUPS_CONFIG} --serverbin OUTPUT_VARIABLE _cups_serverbin
                  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _serverbin_status)
  execute_process(COMMAND ${LABEL_CUPS_CONFIG} --datadir OUTPUT_VARIABLE _cups_datadir
                  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _datadir_status)
  execute_process(COMMAND ${LABEL_CUPS_CONFIG} --cflags OUTPUT_VARIABLE _cups_cflags
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  execute_process(COMMAND ${LABEL_CUPS_CONFIG} --ldflags OUTPUT_VARIABLE _cups_ldflags
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  # A cups-config that fails or answers nothing is no source of folders: the next way is tried.
  if(_serverbin_status EQUAL 0 AND _datadir_status EQUAL 0 AND _cups_serverbin AND _cups_datadir)
    set(_cups_config_ok TRUE)
    set(LABEL_CUPS_FOUND_BY cups-config)
    label_cups_flag_paths("${_cups_cflags}" "-I" _cups_include_hints)
    label_cups_flag_paths("${_cups_ldflags}" "-L" _cups_library_hints)
  else()
    message(WARNING "${LABEL_CUPS_CONFIG} did not name the CUPS folders; trying pkg-config")
  endif()
endif()

if(NOT _cups_config_ok)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(LABEL_CUPS_PC QUIET cups)
  endif()
  if(LABEL_CUPS_PC_FOUND)
    set(LABEL_CUPS_FOUND_BY pkg-config)
    set(_cups_include_hints ${LABEL_CUPS_PC_INCLUDE_DIRS})
    set(_cups_library_hints ${LABEL_CUPS_PC_LIBRARY_DIRS})
    # CUPS 2.5 names its folders in the module; a module without them (Debian's own) takes the usual
    # folders under its prefix. The generic datadir of a module is not the CUPS data folder.
    label_cups_pc_variable(_cups_serverbin cups_serverbin serverbin cups_server_bin)
    label_cups_pc_variable(_cups_datadir cups_datadir cups_data_dir)
    label_cups_pc_variable(_cups_prefix prefix)
    if(NOT _cups_prefix)
      set(_cups_prefix /usr)
    endif()
    if(NOT _cups_serverbin)
      set(_cups_serverbin ${_cups_prefix}/lib/cups)
    endif()
    if(NOT _cups_datadir)
      set(_cups_datadir ${_cups_prefix}/share/cups)
    endif()
  else()
    set(LABEL_CUPS_FOUND_BY headers)
    set(_cups_serverbin ${LABEL_CUPS_DEFAULT_SERVERBIN})
    set(_cups_datadir ${LABEL_CUPS_DEFAULT_DATADIR})
  endif()
endif()

find_path(CUPS_INCLUDE_DIR cups/raster.h HINTS ${_cups_include_hints})
find_library(CUPS_LIBRARY cups HINTS ${_cups_library_hints})
find_library(CUPSIMAGE_LIBRARY cupsimage HINTS ${_cups_library_hints})
if(NOT CUPS_INCLUDE_DIR OR NOT CUPS_LIBRARY OR NOT CUPSIMAGE_LIBRARY)
  message(FATAL_ERROR "The CUPS development files are missing (cups/raster.h: ${CUPS_INCLUDE_DIR}, "
                      "libcups: ${CUPS_LIBRARY}, libcupsimage: ${CUPSIMAGE_LIBRARY}); "
                      "Debian packages libcups2-dev and libcupsimage2-dev")
endif()

# The filter uses the PPD and raster calls the scheduler's filter interface is built on, which the
# headers mark as deprecated.
add_library(cups_libraries INTERFACE)
target_include_directories(cups_libraries SYSTEM INTERFACE ${CUPS_INCLUDE_DIR})
target_link_libraries(cups_libraries INTERFACE ${CUPSIMAGE_LIBRARY} ${CUPS_LIBRARY})
target_compile_options(cups_libraries INTERFACE -Wno-deprecated-declarations)

set(LABEL_CUPS_SYSTEM_SERVERBIN ${_cups_serverbin})
set(LABEL_CUPS_SYSTEM_DATADIR ${_cups_datadir})
set(LABEL_CUPS_SERVERBIN ${_cups_serverbin} CACHE PATH "The scheduler's program folder; the filter goes to its filter/")
set(LABEL_CUPS_DATADIR ${_cups_datadir} CACHE PATH "The scheduler's data folder; the PPD files go to its model/")

file(WRITE ${CMAKE_BINARY_DIR}/cups-folders.txt
     "found_by=${LABEL_CUPS_FOUND_BY}\n" "system_serverbin=${LABEL_CUPS_SYSTEM_SERVERBIN}\n"
     "system_datadir=${LABEL_CUPS_SYSTEM_DATADIR}\n" "serverbin=${LABEL_CUPS_SERVERBIN}\n"
     "datadir=${LABEL_CUPS_DATADIR}\n")
