# Installs, in three components that the packages follow:
#   runtime: the shared library (on Windows the DLL);
#   dev:     the header, the link name or import library, a CMake package
#            giving the imported target quillmar::hexview, a pkg-config file;
#   tool:    the hexview command and its manual page.
include(CMakePackageConfigHelpers)

set(HEXVIEW_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quillmar-hexview)

install(TARGETS quillmar-hexview EXPORT quillmar-hexview-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES include/quillmar_hexview.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT quillmar-hexview-targets NAMESPACE quillmar::
  DESTINATION ${HEXVIEW_CMAKE_DIR} FILE quillmar-hexview-targets.cmake COMPONENT dev)

configure_package_config_file(cmake/quillmar-hexview-config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/quillmar-hexview-config.cmake
  INSTALL_DESTINATION ${HEXVIEW_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/quillmar-hexview-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillmar-hexview-config.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/quillmar-hexview-config-version.cmake
  DESTINATION ${HEXVIEW_CMAKE_DIR} COMPONENT dev)

configure_file(cmake/quillmar-hexview.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quillmar-hexview.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillmar-hexview.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

if(HEXVIEW_BUILD_TOOL)
  # Found beside the library wherever the whole is installed or unpacked.
  set_target_properties(hexview PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS hexview RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
  if(NOT WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/manual-page.cmake)
  endif()
endif()
