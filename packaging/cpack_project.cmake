# Read by cpack once per generator: the .deb packages hold the components of
# a plain install, one package each; the zip holds only flasher-win.exe.
if(CPACK_GENERATOR STREQUAL "ZIP")
  if(NOT EXISTS "${CPACK_FLASHER_WIN_EXE}")
    message(FATAL_ERROR "flasher-win.exe has not been built (expected ${CPACK_FLASHER_WIN_EXE})")
  endif()
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_FLASHER_BINARY_DIR};flasher;windows;/")
  set(CPACK_PACKAGE_FILE_NAME "flasher-win-${CPACK_PACKAGE_VERSION}")
  set(CPACK_STRIP_FILES OFF)
elseif(CPACK_GENERATOR STREQUAL "DEB")
  # Not the windows component, which a plain install leaves out as well.
  set(CPACK_COMPONENTS_ALL ${CPACK_FLASHER_DEB_COMPONENTS})
  # The component descriptions begin with their own summary lines; the
  # Debian generator would put the project's summary above each.
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
endif()
