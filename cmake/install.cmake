# Installs, in three components that the packages follow:
#   runtime: the shared library (on Windows the DLL);
#   dev:     the header, the link name or import library, a CMake package
#            giving the imported target quillmar::hexview, a pkg-config file;
#   tool:    the hexview command and its manual page;
#   python:  the Python package quillmar_hexview (not on Windows).
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

if(NOT WIN32)
  # The Python package quillmar_hexview, pure Python, with a dist-info folder so
  # pip and importlib.metadata know it. It goes where the system's python3
  # looks below the prefix: Debian's lib/python3/dist-packages for /usr (the
  # packages' layout), lib/python3.X/dist-packages (Debian) or site-packages
  # for any other prefix. HEXVIEW_PYTHON_INSTALL_DIR chooses another folder.
  set(HEXVIEW_PYTHON_INSTALL_DIR "" CACHE PATH "Folder for the Python package, below the prefix unless absolute (chosen when empty)")
  set(hexview_python_dir ${HEXVIEW_PYTHON_INSTALL_DIR})
  if(NOT hexview_python_dir)
    set(hexview_python_dir lib/python3/dist-packages)
    if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
      find_package(Python3 COMPONENTS Interpreter QUIET)
      if(Python3_FOUND)
        set(hexview_python_folder site-packages)
        if(EXISTS /usr/lib/python3/dist-packages)
          set(hexview_python_folder dist-packages)
        endif()
        set(hexview_python_dir lib/python${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}/${hexview_python_folder})
      endif()
    endif()
  endif()

  install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/quillmar_hexview DESTINATION ${hexview_python_dir}
    COMPONENT python FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)
  set(hexview_dist_info ${CMAKE_CURRENT_BINARY_DIR}/quillmar_hexview-${PROJECT_VERSION}.dist-info)
  file(WRITE ${hexview_dist_info}/METADATA "Metadata-Version: 2.1\nName: quillmar-hexview\n"
    "Version: ${PROJECT_VERSION}\n"
    "Summary: The quillmar-hexview hex-viewing and hex-editing engine from Python\n"
    "Requires-Python: >=3.8\n")
  file(WRITE ${hexview_dist_info}/top_level.txt "quillmar_hexview\n")
  install(DIRECTORY ${hexview_dist_info} DESTINATION ${hexview_python_dir} COMPONENT python)
endif()
