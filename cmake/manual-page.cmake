# The hexview manual page, installed with the command; compressed as Debian
# keeps manual pages when gzip is at hand.
set(HEXVIEW_MAN_SOURCE ${PROJECT_SOURCE_DIR}/tools/hexview/hexview.1)
find_program(HEXVIEW_GZIP gzip)
if(HEXVIEW_GZIP)
  set(HEXVIEW_MAN_PAGE ${PROJECT_BINARY_DIR}/man/hexview.1.gz)
  add_custom_command(OUTPUT ${HEXVIEW_MAN_PAGE}
    COMMAND ${CMAKE_COMMAND} -E copy ${HEXVIEW_MAN_SOURCE} ${PROJECT_BINARY_DIR}/man/hexview.1
    COMMAND ${HEXVIEW_GZIP} -9nf ${PROJECT_BINARY_DIR}/man/hexview.1
    DEPENDS ${HEXVIEW_MAN_SOURCE}
    COMMENT "Compressing the hexview manual page")
  add_custom_target(hexview_man_page ALL DEPENDS ${HEXVIEW_MAN_PAGE})
else()
  set(HEXVIEW_MAN_PAGE ${HEXVIEW_MAN_SOURCE})
endif()
install(FILES ${HEXVIEW_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
