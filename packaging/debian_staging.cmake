# Run by cpack after the install into its staging tree, for the Debian
# packages only, in each package's own tree: the man pages and the changelog
# are compressed as Debian expects (gzip -9n: no name, no time stamp, so the
# package is reproducible), and lintian is given the package's overrides,
# each with its reason.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(components runtime library development python)
set(packages belltap libirqhost1 libirqhost-dev python3-irqhost)
foreach(component package IN ZIP_LISTS components packages)
  set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${component}${CPACK_PACKAGING_INSTALL_PREFIX}")
  if(NOT IS_DIRECTORY "${root}")
    continue()
  endif()
  file(GLOB_RECURSE pages "${root}/share/man/*")
  foreach(file IN LISTS pages ITEMS "${root}/share/doc/${package}/changelog")
    if(EXISTS "${file}" AND NOT file MATCHES "\\.gz$")
      execute_process(COMMAND gzip -9n "${file}" COMMAND_ERROR_IS_FATAL ANY)
    endif()
  endforeach()
  set(overrides "${CMAKE_CURRENT_LIST_DIR}/${package}/lintian-overrides")
  if(EXISTS "${overrides}")
    file(MAKE_DIRECTORY "${root}/share/lintian/overrides")
    file(COPY_FILE "${overrides}" "${root}/share/lintian/overrides/${package}")
  endif()
endforeach()
