#!/usr/bin/env bash
# A product's own IDs given at configure time are the only ones flasher looks
# for: configure and build flasher with 1209:0001, then run it against virtual
# devices with those and with neighbouring IDs.
# Usage: check_ids.sh SOURCE_DIR WORK_DIR FLASHER_VDEV
set -euo pipefail
src=$1 work=$2 vdev=$3
rm -rf "$work"
cmake -S "$src" -B "$work" -G Ninja -DFLASHER_USB_VID=0x1209 -DFLASHER_USB_PID=0x0001 \
  -DFLASHER_BUILD_TESTS=OFF -DFLASHER_BUILD_WINDOWS=OFF >"$work.log" 2>&1 ||
  { cat "$work.log"; exit 1; }
cmake --build "$work" --target flasher >>"$work.log" 2>&1 || { cat "$work.log"; exit 1; }

fail=0
# check DEVICE-SPEC EXPECTED-STATUS
check() {
  local status=0
  "$vdev" --fast-pauses --account /dev/null --device "$1" -- "$work/flasher" erase \
    >/dev/null 2>"$work.err" || status=$?
  if [ "$status" -ne "$2" ]; then
    echo "device $1: exit $status, expected $2"; cat "$work.err"; fail=1
  elif [ "$2" -eq 1 ] && [ "$(tail -n 1 "$work.err")" != "cannot open usb connection, giving up" ]; then
    echo "device $1: expected to give up"; cat "$work.err"; fail=1
  fi
}
check vid=1209,pid=0001 0
check vid=1209,pid=0002 1
check vid=1209,pid=000a 1
check vid=1208,pid=0001 1
[ "$fail" -eq 0 ] && echo "flasher built for 1209:0001 takes exactly 1209:0001"
exit "$fail"
