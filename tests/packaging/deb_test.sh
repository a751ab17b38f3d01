#!/usr/bin/env bash
# Builds the Debian package with cpack into a temporary directory, unpacks it
# with dpkg -x into a temporary root and checks what a user would get.
# Usage: deb_test.sh <build dir> <source dir> <vid> <pid> <with flasher-vdev: 0|1>
set -u
build=$1 src=$2 vid=$3 pid=$4 with_vdev=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack -G DEB"
  exit 1
fi
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: expected one .deb, got: ${debs[*]}"; exit 1; }
deb=${debs[0]}

# Control fields.
[ "$(dpkg-deb -f "$deb" Package)" = flasher ] || fail "Package is '$(dpkg-deb -f "$deb" Package)'"
depends=$(dpkg-deb -f "$deb" Depends)
[[ ", $depends," == *", libusb-1.0-0 "* || ", $depends," == *", libusb-1.0-0,"* ]] ||
  fail "Depends does not name libusb-1.0-0: '$depends'"
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "no Maintainer"

# The maintainer scripts reload udev, so the rule applies without a replug.
dpkg-deb -e "$deb" "$work/control" || { echo "FAIL: dpkg-deb -e"; exit 1; }
[ -x "$work/control/postinst" ] && grep -q 'udevadm control --reload-rules' "$work/control/postinst" ||
  fail "no postinst that reloads the udev rules"
[ -x "$work/control/postrm" ] || fail "no postrm"

root=$work/root
dpkg -x "$deb" "$root" || { echo "FAIL: dpkg -x"; exit 1; }

# Everything under /usr, nothing for Windows.
outside=$(cd "$root" && find . -mindepth 1 -maxdepth 1 ! -name usr)
[ -z "$outside" ] || fail "files outside /usr: $outside"
[ -z "$(find "$root" -iname '*.exe')" ] || fail "a Windows program in the .deb"

# The program: runs from the package and answers with its usage lines.
bin=$root/usr/bin/flasher
if [ -x "$bin" ]; then
  err=$("$bin" 2>&1 >/dev/null)
  status=$?
  want="Usage: $bin signed_firmware.bin | params [all] [serial]
Usage: $bin erase [all] [serial]"
  [ "$status" -eq 1 ] || fail "packaged flasher without arguments exited $status"
  [ "$err" = "$want" ] || fail "packaged flasher printed: $err"
else
  fail "no executable usr/bin/flasher"
fi
if [ "$with_vdev" = 1 ]; then
  [ -x "$root/usr/bin/flasher-vdev" ] || fail "no executable usr/bin/flasher-vdev"
  # The libraries it preloads from its own directory (their names are in
  # the program) must travel with it, or it would fall back to the build tree.
  companions=$(strings "$root/usr/bin/flasher-vdev" | grep -o '^lib[A-Za-z0-9_]*\.so$' | sort -u)
  [ -n "$companions" ] || fail "no companion library named in flasher-vdev"
  for lib in $companions; do
    [ -f "$root/usr/bin/$lib" ] || fail "flasher-vdev's $lib not packaged"
  done
  # The two packaged programs together: an erase of a virtual device.
  if [ -x "$root/usr/bin/flasher-vdev" ] && [ -x "$bin" ]; then
    "$root/usr/bin/flasher-vdev" --fast-pauses --account /dev/null -- "$bin" erase \
      >"$work/vdev.out" 2>"$work/vdev.err"
    status=$?
    [ "$status" -eq 0 ] || fail "packaged flasher erase under packaged flasher-vdev exited $status: $(cat "$work/vdev.err")"
    [ "$(cat "$work/vdev.err")" = "continuing with flashing
erased" ] || fail "packaged erase printed: $(cat "$work/vdev.err")"
  fi
else
  [ ! -e "$root/usr/bin/flasher-vdev" ] || fail "flasher-vdev packaged though the build has none"
fi

# The manual page, as written.
cmp -s "$root/usr/share/man/man1/flasher.1" "$src/docs/flasher.1" ||
  fail "usr/share/man/man1/flasher.1 missing or differs from docs/flasher.1"

# The udev rule, for this build's IDs (sysfs spells them as 4 lower-case hex digits).
rule=$root/usr/lib/udev/rules.d/70-flasher.rules
want_vid=$(printf '%04x' "$((vid))")
want_pid=$(printf '%04x' "$((pid))")
want_rule="SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"$want_vid\", ATTR{idProduct}==\"$want_pid\", TAG+=\"uaccess\""
if [ -f "$rule" ]; then
  got_rule=$(grep -v '^#' "$rule")
  [ "$got_rule" = "$want_rule" ] || printf 'FAIL: udev rule\n  got:  %s\n  want: %s\n' "$got_rule" "$want_rule"
  [ "$got_rule" = "$want_rule" ] || failures=$((failures + 1))
else
  fail "no usr/lib/udev/rules.d/70-flasher.rules"
fi

[ "$failures" -eq 0 ] && echo "deb: $(basename "$deb") holds flasher, its manual page and the udev rule for $want_vid:$want_pid"
exit $((failures > 0))
