# Run by cpack after the install into its staging tree, for the Debian
# package only: the man pages and the changelog are compressed as Debian
# expects (gzip -9n: no name, no time stamp, so the package is reproducible),
# and lintian is told why bellTap is static.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
file(GLOB_RECURSE pages "${root}/share/man/*")
foreach(file IN LISTS pages ITEMS "${root}/share/doc/belltap/changelog")
  if(NOT file MATCHES "\\.gz$")
    execute_process(COMMAND gzip -9n "${file}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
file(MAKE_DIRECTORY "${root}/share/lintian/overrides")
file(COPY_FILE "${CMAKE_CURRENT_LIST_DIR}/lintian-overrides" "${root}/share/lintian/overrides/belltap")
