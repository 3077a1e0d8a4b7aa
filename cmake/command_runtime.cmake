# How bellTap, and the no-op program it is measured against, are linked.
# A trigger's whole cost is one process start, so on Linux they are linked
# statically against musl, whose start-up is a fraction of glibc's. Where
# musl-tools is missing or the compiler is not GCC (clang ignores -specs),
# they fall back to a static glibc link. Either way: stripped, unused sections
# dropped, code and read-only data sharing pages, so that few pages are touched.
add_library(command_runtime INTERFACE)
if(WIN32)
  return()
endif()
if(NOT BELLTAP_STATIC)
  message(STATUS "bellTap: linked dynamically (BELLTAP_STATIC is off)")
  return()
endif()

target_compile_options(command_runtime INTERFACE -ffunction-sections -fdata-sections)
target_link_options(command_runtime INTERFACE -static -s -Wl,--gc-sections -Wl,-z,noseparate-code)

find_file(BELLTAP_MUSL_SPECS musl-gcc.specs
          PATHS /usr/lib/${CMAKE_SYSTEM_PROCESSOR}-linux-musl /usr/lib/musl/lib /usr/local/musl/lib
          NO_DEFAULT_PATH)
if(BELLTAP_MUSL AND BELLTAP_MUSL_SPECS AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(musl -specs=${BELLTAP_MUSL_SPECS})
  # The specs put musl's headers in place of glibc's; -nostdinc++ keeps the
  # C++ library's wrappers of them out too.
  target_compile_options(command_runtime INTERFACE ${musl} $<$<COMPILE_LANGUAGE:CXX>:-nostdinc++>)
  target_link_options(command_runtime INTERFACE ${musl} -nodefaultlibs)
  target_link_libraries(command_runtime INTERFACE c gcc)
  message(STATUS "bellTap: linked statically against musl (${BELLTAP_MUSL_SPECS})")
else()
  message(STATUS "bellTap: musl-tools or GCC missing (or BELLTAP_MUSL off): linked statically against glibc")
endif()
