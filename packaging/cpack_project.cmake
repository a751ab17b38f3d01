# Read by cpack once per generator: the .deb holds everything a plain install
# puts down; the zip holds only flasher-win.exe.
if(CPACK_GENERATOR STREQUAL "ZIP")
  if(NOT EXISTS "${CPACK_FLASHER_WIN_EXE}")
    message(FATAL_ERROR "flasher-win.exe has not been built (expected ${CPACK_FLASHER_WIN_EXE})")
  endif()
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_FLASHER_BINARY_DIR};flasher;windows;/")
  set(CPACK_PACKAGE_FILE_NAME "flasher-win-${CPACK_PACKAGE_VERSION}")
  set(CPACK_STRIP_FILES OFF)
endif()
