# Packages made by `cpack` in the build folder:
#   Linux:   Debian packages libquillmar-hexview1 (the library, by its
#            SONAME), libquillmar-hexview-dev, hexview (the command) and
#            python3-quillmar-hexview (the Python package);
#   Windows: one zip of the DLL, its import library, the header, the CMake
#            package and hexview.exe.
# For packages that follow Debian's layout (lib/<multiarch>), configure with
# -DCMAKE_INSTALL_PREFIX=/usr.
set(CPACK_PACKAGE_NAME quillmar-hexview)
set(CPACK_PACKAGE_VENDOR quillmar)
set(CPACK_PACKAGE_CONTACT "quillmar-hexview developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_COMPONENTS_ALL runtime dev)
if(HEXVIEW_BUILD_TOOL)
  list(APPEND CPACK_COMPONENTS_ALL tool)
endif()

if(NOT WIN32)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x64)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Where dpkg-shlibdeps finds our own library when it lists the command's.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
  # The dev package and the command need the library of this very version.
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
  set(CPACK_COMPONENT_DEV_DEPENDS runtime)
  set(CPACK_COMPONENT_TOOL_DEPENDS runtime)
  set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libquillmar-hexview${PROJECT_VERSION_MAJOR})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  # The first line of each description is the package's summary.
  set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "hex-viewing and hex-editing engine: shared library
A shared library with a plain C ABI that pages through files as JSON rows,
searches them, stages and saves edits, compares files and profiles entropy.")
  # A shlibs file, so packages linking the library depend on it.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

  set(CPACK_DEBIAN_DEV_PACKAGE_NAME libquillmar-hexview-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEV_DESCRIPTION "hex-viewing and hex-editing engine: development files
The header quillmar_hexview.h, the link name, a CMake package giving the
target quillmar::hexview and a pkg-config file.")

  set(CPACK_DEBIAN_TOOL_PACKAGE_NAME hexview)
  set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_TOOL_DESCRIPTION "hex viewer and editor for the command line
The hexview command dumps, searches, edits, compares and profiles files with
the quillmar-hexview library.")

  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-quillmar-hexview)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= 3.8)")
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION "hex-viewing and hex-editing engine: Python 3 binding
The package quillmar_hexview opens files of any size, reads them with staged
edits applied, searches, edits, saves, compares and profiles them through the
quillmar-hexview library.")
endif()

include(CPack)
