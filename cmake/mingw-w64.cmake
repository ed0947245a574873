# Cross-compiles the library and its tests for 64-bit Windows with Debian's
# MinGW-w64 (the posix threading flavour, for std::thread and thread_local
# destructors through winpthreads). The tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(HEXVIEW_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${HEXVIEW_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HEXVIEW_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${HEXVIEW_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${HEXVIEW_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config finds only the target's own .pc files, never the build machine's
# libraries (e.g. Debian's cpp-httplib, which has no MinGW build).
set(ENV{PKG_CONFIG_LIBDIR} ${CMAKE_FIND_ROOT_PATH}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# C99 printf (%lld, %zu, snprintf's count when cut) instead of the old msvcrt one.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1)

# The GCC runtime, libstdc++ and winpthreads go inside the DLL and the
# programs, so neither a host nor Wine needs any DLL beyond the system's.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,--exclude-libs,ALL")
