# Finds what the optional parts need. A part whose dependency is missing is
# left out of this build with one message; its option stays ON in the cache,
# so installing the dependency and configuring again brings the part back.
# The library itself needs nothing beyond the compiler.

function(hexview_leave_out option part missing)
  message(NOTICE "quillmar-hexview: not building ${part}: ${missing}; -D${option}=OFF leaves it out silently")
  set(${option} OFF PARENT_SCOPE)
endfunction()

set(HEXVIEW_CROSS_WINDOWS OFF)
if(WIN32 AND CMAKE_CROSSCOMPILING)
  set(HEXVIEW_CROSS_WINDOWS ON)
endif()

# CLI11 is header-only. A cross build takes the build machine's copy, through
# a folder holding only the CLI headers: the whole of /usr/include would put
# the build machine's C library before the target's.
function(hexview_find_cli11)
  if(NOT HEXVIEW_CROSS_WINDOWS)
    find_package(CLI11 CONFIG QUIET)
    return()
  endif()
  find_path(HEXVIEW_CLI11_INCLUDE_DIR CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
  if(NOT HEXVIEW_CLI11_INCLUDE_DIR)
    return()
  endif()
  set(only_cli ${CMAKE_BINARY_DIR}/cli11-include)
  file(MAKE_DIRECTORY ${only_cli})
  file(CREATE_LINK ${HEXVIEW_CLI11_INCLUDE_DIR}/CLI ${only_cli}/CLI SYMBOLIC)
  add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${only_cli})
endfunction()

if(HEXVIEW_BUILD_TOOL)
  hexview_find_cli11()
  if(NOT TARGET CLI11::CLI11)
    hexview_leave_out(HEXVIEW_BUILD_TOOL "the hexview command" "CLI11 not found (Debian package libcli11-dev)")
  endif()
endif()

# A cross build compiles GoogleTest from Debian's sources (no copy is
# installed for the target) and runs the tests under Wine.
set(HEXVIEW_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(HEXVIEW_BUILD_TESTS AND HEXVIEW_CROSS_WINDOWS)
  if(NOT EXISTS ${HEXVIEW_GTEST_SOURCE}/CMakeLists.txt)
    hexview_leave_out(HEXVIEW_BUILD_TESTS "the tests" "no GoogleTest sources in ${HEXVIEW_GTEST_SOURCE} (Debian package googletest)")
  elseif(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    include(${CMAKE_CURRENT_LIST_DIR}/wine.cmake)
    if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
      hexview_leave_out(HEXVIEW_BUILD_TESTS "the tests" "Wine not found to run them (Debian package wine64)")
    endif()
  endif()
elseif(HEXVIEW_BUILD_TESTS)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    hexview_leave_out(HEXVIEW_BUILD_TESTS "the tests" "GoogleTest not found (Debian package libgtest-dev)")
  endif()
endif()

if(HEXVIEW_BUILD_BENCH)
  find_package(benchmark QUIET)
  if(NOT benchmark_FOUND)
    set(hint "Debian package libbenchmark-dev")
    if(HEXVIEW_CROSS_WINDOWS)
      set(hint "none is built for Windows")
    endif()
    hexview_leave_out(HEXVIEW_BUILD_BENCH "the benchmarks" "Google Benchmark not found (${hint})")
  endif()
endif()
