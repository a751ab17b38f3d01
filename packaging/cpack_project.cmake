# Read by cpack once per generator: the .deb packages hold the components of
# a plain install, one package each; the zip holds only flasher-win.exe,
# flasher-probe.exe and the Windows guide.
if(CPACK_GENERATOR STREQUAL "ZIP")
  foreach(exe IN LISTS CPACK_FLASHER_WIN_EXES)
    if(NOT EXISTS "${exe}")
      message(FATAL_ERROR "the Windows programs have not been built (expected ${exe})")
    endif()
  endforeach()
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
