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

# CLI11 and nlohmann-json are header-only. A cross build takes the build
# machine's copy, through a folder holding only that library's headers: the
# whole of /usr/include would put the build machine's C library before the
# target's.
function(hexview_find_header_only package target header_folder)
  if(NOT HEXVIEW_CROSS_WINDOWS)
    find_package(${package} CONFIG QUIET)
    return()
  endif()
  find_path(HEXVIEW_${package}_INCLUDE_DIR ${header_folder} PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
  if(NOT HEXVIEW_${package}_INCLUDE_DIR)
    return()
  endif()
  set(only ${CMAKE_BINARY_DIR}/${package}-include)
  file(MAKE_DIRECTORY ${only})
  file(CREATE_LINK ${HEXVIEW_${package}_INCLUDE_DIR}/${header_folder} ${only}/${header_folder} SYMBOLIC)
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${only})
endfunction()

if(HEXVIEW_BUILD_TOOL)
  hexview_find_header_only(CLI11 CLI11::CLI11 CLI)
  hexview_find_header_only(nlohmann_json nlohmann_json::nlohmann_json nlohmann)
  if(NOT TARGET CLI11::CLI11)
    hexview_leave_out(HEXVIEW_BUILD_TOOL "the hexview command" "CLI11 not found (Debian package libcli11-dev)")
  elseif(NOT TARGET nlohmann_json::nlohmann_json)
    hexview_leave_out(HEXVIEW_BUILD_TOOL "the hexview command" "nlohmann-json not found (Debian package nlohmann-json3-dev)")
  endif()
endif()

# `hexview serve`, the web editor inside the hexview command, is built on
# Boost.Beast and Asio (header-only; Debian package libboost-dev): with them
# it bounds every request before it is authenticated (head size, header
# count, body, deadlines, connection cap), which cpp-httplib 0.11 cannot. Its
# tests and benchmark talk to it through cpp-httplib's client. A cross build
# leaves it out: there is no Boost for the target. HEXVIEW_HAS_SERVE and
# HEXVIEW_HAS_SERVE_CLIENT tell the tool, the tests and the benchmarks.
set(HEXVIEW_HAS_SERVE OFF)
set(HEXVIEW_HAS_SERVE_CLIENT OFF)
if(HEXVIEW_BUILD_TOOL)
  if(NOT CMAKE_CROSSCOMPILING)
    find_package(boost_headers 1.74 CONFIG QUIET)
    # Its hashes: OpenSSL's libcrypto (libssl-dev) and zlib (zlib1g-dev).
    find_package(OpenSSL QUIET COMPONENTS Crypto)
    find_package(ZLIB QUIET)
    find_package(PkgConfig QUIET)
    if(PkgConfig_FOUND)
      pkg_check_modules(CPP_HTTPLIB QUIET IMPORTED_TARGET GLOBAL cpp-httplib)
    endif()
  endif()
  if(CMAKE_CROSSCOMPILING)
    message(STATUS "hexview serve: not built (cross build: no Boost for the target)")
  elseif(TARGET Boost::headers AND NOT (TARGET OpenSSL::Crypto AND TARGET ZLIB::ZLIB))
    message(STATUS "hexview serve: not built (its hashes need OpenSSL's libcrypto and zlib; install libssl-dev zlib1g-dev)")
  elseif(TARGET Boost::headers)
    message(STATUS "hexview serve: built (Boost.Beast ${boost_headers_VERSION})")
    set(HEXVIEW_HAS_SERVE ON)
    if(CPP_HTTPLIB_FOUND)
      set(HEXVIEW_HAS_SERVE_CLIENT ON)
    else()
      message(STATUS "hexview serve: its tests not built (their client, cpp-httplib, not found; install libcpp-httplib-dev)")
    endif()
  elseif(WIN32)
    message(NOTICE "quillmar-hexview: hexview.exe is built without `hexview serve`: no Boost for Windows here")
  else()
    message(STATUS "hexview serve: not built (Boost.Beast not found; install libboost-dev)")
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
