# Writes the udev rule that lets the logged-in user open the target device.
#
# The IDs come from the build (FLASHER_USB_VID / FLASHER_USB_PID, hex such as
# "0x1209"). udev compares the sysfs attributes idVendor and idProduct as
# text, and the kernel writes them as four lower-case hex digits, so "0xA"
# must become "000a" or the rule silently never matches.
#
# Usable from a project (include + flasher_write_udev_rule) and as a script:
#   cmake -DVID=0x1209 -DPID=0x000A -DOUT=rule.rules -P udev_rule.cmake

# flasher_udev_hex(<out-var> <hex>): "0x1209" -> "1209", "0XA" -> "000a".
function(flasher_udev_hex out value)
  if(NOT value MATCHES "^0[xX][0-9a-fA-F]+$")
    message(FATAL_ERROR "not a hex USB ID: '${value}'")
  endif()
  string(REGEX REPLACE "^0[xX]0*" "" digits "${value}")
  string(TOLOWER "${digits}" digits)
  string(LENGTH "${digits}" length)
  if(length GREATER 4)
    message(FATAL_ERROR "USB ID wider than 16 bits: '${value}'")
  endif()
  while(length LESS 4)
    string(PREPEND digits "0")
    math(EXPR length "${length} + 1")
  endwhile()
  set(${out} "${digits}" PARENT_SCOPE)
endfunction()

# flasher_write_udev_rule(<file> <vid> <pid>)
function(flasher_write_udev_rule file vid pid)
  flasher_udev_hex(v "${vid}")
  flasher_udev_hex(p "${pid}")
  # uaccess: systemd-logind grants the user of the local seat access to the
  # device node (an ACL); it is applied by 73-seat-late.rules, so this rule
  # must sort before it. A station run over ssh or as a service has no seat:
  # the group plugdev reaches it, as in the rules of other USB programming
  # and debug tools.
  file(WRITE "${file}"
       "# flasher: lets the logged-in user and the group plugdev open the target device ${v}:${p} without root.\n"
       "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", "
       "ATTR{idVendor}==\"${v}\", ATTR{idProduct}==\"${p}\", "
       "MODE=\"0660\", GROUP=\"plugdev\", TAG+=\"uaccess\"\n")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT DEFINED VID OR NOT DEFINED PID OR NOT DEFINED OUT)
    message(FATAL_ERROR "usage: cmake -DVID=0x... -DPID=0x... -DOUT=<file> -P udev_rule.cmake")
  endif()
  flasher_write_udev_rule("${OUT}" "${VID}" "${PID}")
endif()
