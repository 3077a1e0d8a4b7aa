# GoogleTest and the way every test program is added.
find_package(GTest QUIET)
if(NOT GTest_FOUND)
  # Cross builds have no GoogleTest of their own: build it from Debian's source.
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()
include(GoogleTest)

# Runs a test program in one piece under an emulator, where starting each
# case in a process of its own costs more than the case.
function(add_test_program name)
  add_executable(${name} ${ARGN} ${PROJECT_SOURCE_DIR}/test_support/time_limit.cpp)
  if(NOT WIN32)
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/test_support/leftovers_posix.cpp)
  endif()
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/test_support)
  target_link_libraries(${name} PRIVATE trigger_core irqhost_internal GTest::gtest_main)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30)
  endif()
endfunction()

if(WIN32)
  # Wine keeps its server's socket in a folder under TMPDIR, and leaves the
  # folder behind: the tests' is this one (see the windows test preset).
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/tmp)
endif()
