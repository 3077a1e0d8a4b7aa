# Installs `file` compressed as Debian expects (gzip -9n: no name, no time
# stamp, so the package is reproducible), as file.gz in `destination`.
function(install_gzipped file destination)
  get_filename_component(name ${file} NAME)
  set(gzipped ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
  add_custom_command(OUTPUT ${gzipped}
                     COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/${file} > ${gzipped}
                     DEPENDS ${file} VERBATIM)
  string(MAKE_C_IDENTIFIER ${gzipped} target)
  add_custom_target(${target} ALL DEPENDS ${gzipped})
  install(FILES ${gzipped} DESTINATION ${destination})
endfunction()
