# Installs the library with its header, a CMake package giving the imported
# target quillmar::hexview, a pkg-config file, and the hexview command.
include(CMakePackageConfigHelpers)

set(HEXVIEW_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quillmar-hexview)
set(CMAKE_INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

install(TARGETS quillmar-hexview EXPORT quillmar-hexview-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/quillmar_hexview.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT quillmar-hexview-targets NAMESPACE quillmar::
  DESTINATION ${HEXVIEW_CMAKE_DIR} FILE quillmar-hexview-targets.cmake)

configure_package_config_file(cmake/quillmar-hexview-config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/quillmar-hexview-config.cmake
  INSTALL_DESTINATION ${HEXVIEW_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/quillmar-hexview-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillmar-hexview-config.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/quillmar-hexview-config-version.cmake
  DESTINATION ${HEXVIEW_CMAKE_DIR})

configure_file(cmake/quillmar-hexview.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quillmar-hexview.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillmar-hexview.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(HEXVIEW_BUILD_TOOL)
  set_target_properties(hexview PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS hexview RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
