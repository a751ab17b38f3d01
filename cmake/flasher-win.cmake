# flasher-win.exe, cross-built with mingw-w64 as part of every native build,
# into ${PROJECT_BINARY_DIR}/flasher-win/flasher-win.exe, where the Windows
# tests run it and packaging picks it up. It is a project of its own (this
# source tree configured with cmake/mingw-w64-x86_64.cmake), rebuilt on every
# build so it never goes stale.
#
# Sets FLASHER_WIN_EXE to the exe's path when it is built, FLASHER_WIN_PROBE_EXE
# to that of flasher-probe.exe (the dry run of flasher-win, built beside it)
# and, with the tests, FLASHER_WIN_PREPARE_PROBE_EXE to that of the Windows
# test program built beside them (tests/winusb/windows/).

find_program(FLASHER_MINGW_CXX x86_64-w64-mingw32-g++)
if(FLASHER_MINGW_CXX)
  set(flasher_windows_default ON)
else()
  set(flasher_windows_default OFF)
endif()
option(FLASHER_BUILD_WINDOWS "Also cross-build flasher-win.exe with mingw-w64"
       ${flasher_windows_default})

if(FLASHER_BUILD_WINDOWS)
  if(NOT FLASHER_MINGW_CXX)
    message(FATAL_ERROR "FLASHER_BUILD_WINDOWS needs x86_64-w64-mingw32-g++ "
                        "(Debian: g++-mingw-w64-x86-64)")
  endif()
  include(ExternalProject)
  set(flasher_win_build_type ${CMAKE_BUILD_TYPE})
  if(NOT flasher_win_build_type)
    set(flasher_win_build_type Release)
  endif()
  set(FLASHER_WIN_EXE ${PROJECT_BINARY_DIR}/flasher-win/flasher-win.exe)
  set(FLASHER_WIN_PROBE_EXE ${PROJECT_BINARY_DIR}/flasher-win/flasher-probe.exe)
  set(flasher_win_outputs ${FLASHER_WIN_EXE} ${FLASHER_WIN_PROBE_EXE})
  if(FLASHER_BUILD_TESTS)
    set(FLASHER_WIN_PREPARE_PROBE_EXE ${PROJECT_BINARY_DIR}/flasher-win/prepare_run_probe.exe)
    list(APPEND flasher_win_outputs ${FLASHER_WIN_PREPARE_PROBE_EXE})
  endif()
  ExternalProject_Add(flasher-win
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${PROJECT_BINARY_DIR}/flasher-win
    PREFIX ${PROJECT_BINARY_DIR}/flasher-win-project
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
      -DCMAKE_BUILD_TYPE=${flasher_win_build_type}
      -DFLASHER_USB_VID=${FLASHER_USB_VID}
      -DFLASHER_WIN_USB_PID=${FLASHER_WIN_USB_PID}
      -DFLASHER_WERROR=${FLASHER_WERROR}
      -DFLASHER_BUILD_TESTS=${FLASHER_BUILD_TESTS}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${flasher_win_outputs})
else()
  unset(FLASHER_WIN_EXE)
  unset(FLASHER_WIN_PROBE_EXE)
  unset(FLASHER_WIN_PREPARE_PROBE_EXE)
endif()
