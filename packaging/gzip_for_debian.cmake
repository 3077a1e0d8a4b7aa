# Run by cpack after the install into its staging tree: in the Debian
# package the man pages and the changelog are compressed, as Debian expects
# (gzip -9n: no name, no time stamp, so the package is reproducible).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/*")
file(GLOB_RECURSE changelogs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/doc/belltap/changelog")
foreach(file IN LISTS pages changelogs)
  if(NOT file MATCHES "\\.gz$")
    execute_process(COMMAND gzip -9n "${file}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
