# SPDX-License-Identifier: Apache-2.0
# The optional parts of the build. The core (the library, the filter, pbmtoraster and the unit tests)
# needs only a compiler, CMake, the CUPS development files and GoogleTest; every other part is built when
# what it needs is found, and configure ends with a summary of what it left out and which Debian package
# brings it. With LABEL_REQUIRE_ALL a missing part fails configure instead, so that a run meant to test
# everything cannot pass by testing less.

# 'label_part()' - sets VAR to TRUE when every requirement is met, else to FALSE and records the part as
# skipped. Requirements come in threes: a variable that is true when the thing was found (a
# find_program result, PNG_FOUND), the thing's name, and the Debian package that brings it.
function(label_part var what)
  set(names)
  set(packages)
  set(requirements ${ARGN})
  while(requirements)
    list(POP_FRONT requirements found name package)
    if(NOT ${found})
      list(APPEND names ${name})
      list(APPEND packages ${package})
    endif()
  endwhile()
  if(names)
    list(REMOVE_DUPLICATES packages)
    list(LENGTH packages count)
    set(noun package)
    if(count GREATER 1)
      set(noun packages)
    endif()
    list(JOIN names ", " names)
    list(JOIN packages ", " packages)
    # A list element cannot hold the semicolon the summary shows, so the two halves are joined there.
    set_property(GLOBAL APPEND PROPERTY LABEL_SKIPPED_PARTS "${what} (${names} not found|Debian ${noun} ${packages})")
    set(${var} FALSE PARENT_SCOPE)
  else()
    set(${var} TRUE PARENT_SCOPE)
  endif()
endfunction()

# 'label_summary()' - prints where the install goes and every part that was left out.
function(label_summary)
  message(STATUS "CUPS found through ${LABEL_CUPS_FOUND_BY}: filter folder ${LABEL_CUPS_SERVERBIN}/filter, "
                 "PPD folder ${LABEL_CUPS_DATADIR}/model")
  get_property(skipped GLOBAL PROPERTY LABEL_SKIPPED_PARTS)
  if(NOT skipped)
    message(STATUS "Skipped: nothing, every part is built")
    return()
  endif()
  foreach(part ${skipped})
    string(REPLACE "|" "; " part "${part}")
    message(STATUS "Skipped: ${part}")
  endforeach()
  if(LABEL_REQUIRE_ALL)
    message(FATAL_ERROR "LABEL_REQUIRE_ALL is set and parts are missing (see 'Skipped:' above); "
                        "scripts/install-deps.sh installs them")
  endif()
endfunction()
