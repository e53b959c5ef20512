# SPDX-License-Identifier: Apache-2.0
# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) once the files are staged: the package's copyright file and
# its changelog, compressed as Debian keeps it (gzip -9n), in /usr/share/doc/PACKAGE.
set(doc "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}")
file(COPY_FILE "${CPACK_LABEL_DEBIAN_DIR}/copyright" "${doc}/copyright")
set(PROJECT_VERSION "${CPACK_PACKAGE_VERSION}")
configure_file("${CPACK_LABEL_DEBIAN_DIR}/changelog.in" "${doc}/changelog" @ONLY)
# A version without a Debian revision makes a native package, whose changelog is changelog.gz.
execute_process(COMMAND "${CPACK_LABEL_GZIP}" -9nf "${doc}/changelog" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip could not compress ${doc}/changelog")
endif()
file(CHMOD "${doc}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
     WORLD_READ WORLD_EXECUTE)
file(CHMOD "${doc}/copyright" "${doc}/changelog.gz" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
