# SPDX-License-Identifier: Apache-2.0
# One Debian package (cpack -G DEB) holding everything a user installs: the filter and the PPD files
# where the scheduler looks, and, when they are built, the Printer Application in bin/ with its systemd
# unit and the label preview, with the manual pages. The package's library dependencies come from the
# programs themselves (dpkg-shlibdeps).

include(GNUInstallDirs)

# The manual pages, compressed as Debian keeps them (gzip -9n: no name, no time stamp, so that the
# same page gives the same bytes).
set(LABEL_MAN_PAGES docs/man/rastertoxxx.8)
if(TARGET labelpreview)
  list(APPEND LABEL_MAN_PAGES docs/man/labelpreview.1)
  install(TARGETS labelpreview RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET label-printer-app)
  list(APPEND LABEL_MAN_PAGES docs/man/label-printer-app.8)
endif()
find_program(GZIP_EXECUTABLE gzip)
set(man_outputs "")
foreach(page ${LABEL_MAN_PAGES})
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE ".*\\." "" section ${name})
  if(GZIP_EXECUTABLE)
    set(output ${CMAKE_BINARY_DIR}/man/${name}.gz)
    add_custom_command(
      OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND sh -c "\"$0\" -9n -c \"$1\" > \"$2\"" ${GZIP_EXECUTABLE} ${PROJECT_SOURCE_DIR}/${page} ${output}
      DEPENDS ${PROJECT_SOURCE_DIR}/${page} VERBATIM)
    list(APPEND man_outputs ${output})
  else()
    set(output ${PROJECT_SOURCE_DIR}/${page})
  endif()
  install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_outputs})

if(TARGET label-printer-app)
  install(TARGETS label-printer-app RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/app/label-printer-app.service DESTINATION lib/systemd/system)
  # The PDF renderer, where the program looks for it: ../libexec/label-printer-app from its own folder.
  if(TARGET label-pdf-render)
    install(TARGETS label-pdf-render RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/label-printer-app)
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME label-printer-support)
set(CPACK_PACKAGE_VENDOR "Label Printer Project")
set(CPACK_PACKAGE_CONTACT "Label Printer Project <maintainers@label-printer.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CUPS filter, PPD files and Printer Application for label printers")
# The lines of the extended description stay under 80 characters.
set(CPACK_PACKAGE_DESCRIPTION "A CUPS raster filter and PPD files for 152, 203, 300 and 600 dpi thermal
label printers, and a Printer Application that makes each such printer a
driverless IPP Everywhere printer.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
find_program(DPKG_SHLIBDEPS_EXECUTABLE dpkg-shlibdeps)
label_part(LABEL_WITH_PACKAGE "the Debian package's dependency list and its test" DPKG_SHLIBDEPS_EXECUTABLE
           dpkg-shlibdeps dpkg-dev)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ${LABEL_WITH_PACKAGE})
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "cups")
# The package creates the service's user.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/postinst
                                       ${PROJECT_SOURCE_DIR}/cmake/debian/prerm ${PROJECT_SOURCE_DIR}/cmake/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# The copyright file (cmake/debian/copyright) and the changelog go into the package alone, not into
# 'cmake --install': cmake/debian/package-docs.cmake adds them to cpack's staging folder.
set(CPACK_LABEL_DEBIAN_DIR ${PROJECT_SOURCE_DIR}/cmake/debian)
set(CPACK_LABEL_GZIP ${GZIP_EXECUTABLE})
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian/package-docs.cmake)
include(CPack)
