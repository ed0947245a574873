# Runs the Windows programs of a cross build under Wine: every test, and the
# test discovery, goes through the wrapper made here. Without Wine it sets
# nothing, and the tests are left out.
find_program(HEXVIEW_WINE NAMES wine64 wine PATHS /usr/lib/wine)
find_program(HEXVIEW_WINESERVER NAMES wineserver64 wineserver PATHS /usr/lib/wine)
if(NOT HEXVIEW_WINE OR NOT HEXVIEW_WINESERVER)
  return()
endif()
set(HEXVIEW_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
  @ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
