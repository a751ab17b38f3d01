#!/usr/bin/env bash
# Builds the Debian packages with cpack into a temporary directory, unpacks
# them with dpkg -x into temporary roots and checks what a user would get:
# flasher (the program, its manual page and the udev rule, needing only
# libusb) and, when the build has it, flasher-vdev (the virtual device and
# its shim, needing umockdev) apart from it.
# Usage: deb_test.sh <build dir> <source dir> <vid> <pid> <with flasher-vdev: 0|1> <shim dir>
# The shim dir is where flasher-vdev's shim belongs, relative to the prefix.
set -u
build=$1 src=$2 vid=$3 pid=$4 with_vdev=$5 shim_dir=$6
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack -G DEB"
  exit 1
fi
want_debs=(flasher)
[ "$with_vdev" = 1 ] && want_debs+=(flasher-vdev)
got_debs=$(cd "$work/out" && ls -- *.deb 2>/dev/null | sort | tr '\n' ' ')
arch=$(dpkg --print-architecture)
[ "$(echo "${want_debs[@]}" | wc -w)" -eq "$(echo "$got_debs" | wc -w)" ] ||
  { echo "FAIL: expected packages ${want_debs[*]}, got: $got_debs"; exit 1; }

# Each package is unpacked into a root of its own, so a file in the wrong
# package shows.
for p in "${want_debs[@]}"; do
  debs=("$work/out/${p}_"*"_$arch.deb")
  [ -f "${debs[0]}" ] || { echo "FAIL: no ${p}_<version>_$arch.deb among: $got_debs"; exit 1; }
  declare "deb_${p//-/_}=${debs[0]}"
  dpkg -x "${debs[0]}" "$work/root-$p" || { echo "FAIL: dpkg -x $p"; exit 1; }
  [ "$(dpkg-deb -f "${debs[0]}" Package)" = "$p" ] || fail "$p: Package is '$(dpkg-deb -f "${debs[0]}" Package)'"
  [ -n "$(dpkg-deb -f "${debs[0]}" Maintainer)" ] || fail "$p: no Maintainer"
  summary=$(dpkg-deb -f "${debs[0]}" Description | head -n 1)
  [ -n "$summary" ] || fail "$p: no Description summary"
  # Everything under /usr, nothing for Windows.
  outside=$(cd "$work/root-$p" && find . -mindepth 1 -maxdepth 1 ! -name usr)
  [ -z "$outside" ] || fail "$p: files outside /usr: $outside"
  [ -z "$(find "$work/root-$p" -iname '*.exe')" ] || fail "$p: a Windows program in the .deb"
done
deb=$deb_flasher
root=$work/root-flasher

# The exact list of what flasher holds: nothing of flasher-vdev's; the
# record's schema for a DBA when the build has libpq.
record_db_files=
[ "${FLASHER_WITH_RECORD_DB:-0}" = 1 ] &&
  record_db_files="./usr/share/flasher/schema.sql
./usr/share/flasher/station-role.sql
"
want_list="./usr/bin/flasher
./usr/bin/flasher-gang
./usr/bin/flasher-probe
./usr/lib/udev/rules.d/70-flasher.rules
./usr/share/doc/flasher/README.md
./usr/share/doc/flasher/user-guide.md
${record_db_files}./usr/share/man/man1/flasher-gang.1.gz
./usr/share/man/man1/flasher-probe.1.gz
./usr/share/man/man1/flasher.1.gz"
got_list=$(cd "$root" && find . ! -type d | sort)
[ "$got_list" = "$want_list" ] || printf 'FAIL: flasher holds\n%s\nwant\n%s\n' "$got_list" "$want_list"
[ "$got_list" = "$want_list" ] || failures=$((failures + 1))

# flasher's dependencies: libusb, and nothing flasher-vdev needs.
depends=$(dpkg-deb -f "$deb" Depends)
[[ ", $depends," == *", libusb-1.0-0 "* || ", $depends," == *", libusb-1.0-0,"* ]] ||
  fail "flasher: Depends does not name libusb-1.0-0: '$depends'"
for other in umockdev glib flasher-vdev; do
  [[ "$depends" != *"$other"* ]] || fail "flasher: Depends names $other: '$depends'"
done
[[ "$(dpkg-deb -f "$deb" Recommends)" == *udev* ]] || fail "flasher: does not recommend udev"

# The maintainer scripts reload udev, so the rule applies without a replug.
dpkg-deb -e "$deb" "$work/control" || { echo "FAIL: dpkg-deb -e"; exit 1; }
[ -x "$work/control/postinst" ] && grep -q 'udevadm control --reload-rules' "$work/control/postinst" ||
  fail "no postinst that reloads the udev rules"
[ -x "$work/control/postrm" ] || fail "no postrm"

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
  vdeb=$deb_flasher_vdev vroot=$work/root-flasher-vdev
  vdev=$vroot/usr/bin/flasher-vdev
  want_list="./usr/bin/flasher-vdev
./usr/$shim_dir/libflasher_vdev_shim.so"
  got_list=$(cd "$vroot" && find . ! -type d | sort)
  [ "$got_list" = "$want_list" ] || printf 'FAIL: flasher-vdev holds\n%s\nwant\n%s\n' "$got_list" "$want_list"
  [ "$got_list" = "$want_list" ] || failures=$((failures + 1))
  # umockdev's libraries (linked, and the preloaded one in umockdev), and
  # not flasher: the virtual device runs any command.
  vdepends=$(dpkg-deb -f "$vdeb" Depends)
  for need in libumockdev0 umockdev; do
    [[ ", $vdepends," == *", $need "* || ", $vdepends," == *", $need,"* ]] ||
      fail "flasher-vdev: Depends does not name $need: '$vdepends'"
  done
  [[ ", $vdepends," != *", flasher "* && ", $vdepends," != *", flasher,"* ]] ||
    fail "flasher-vdev: Depends names flasher: '$vdepends'"
  # The two packaged programs together: an erase of a virtual device. The
  # installed flasher-vdev must find its shim in the packaged library
  # directory: without it, it refuses to start.
  if [ -x "$vdev" ] && [ -x "$bin" ]; then
    "$vdev" --fast-pauses --account /dev/null -- "$bin" erase \
      >"$work/vdev.out" 2>"$work/vdev.err"
    status=$?
    [ "$status" -eq 0 ] || fail "packaged flasher erase under packaged flasher-vdev exited $status: $(cat "$work/vdev.err")"
    [ "$(cat "$work/vdev.err")" = "continuing with flashing
erased" ] || fail "packaged erase printed: $(cat "$work/vdev.err")"
  else
    fail "no executable usr/bin/flasher-vdev"
  fi
fi

# The manual pages, as written, compressed with no name or time stamp in the
# gzip header (flags byte 0, mtime 0), so that rebuilding gives the same bytes.
for page in flasher flasher-probe flasher-gang; do
  man=$root/usr/share/man/man1/$page.1.gz
  if [ -f "$man" ]; then
    gzip -dc "$man" | cmp -s - "$src/docs/$page.1" || fail "$page.1.gz does not unpack to docs/$page.1"
    header=$(od -An -tx1 -N8 "$man" | tr -d ' \n')
    [ "$header" = 1f8b080000000000 ] || fail "$page.1.gz header $header keeps a name or time stamp"
  else
    fail "no usr/share/man/man1/$page.1.gz"
  fi
done

# The udev rule, for this build's IDs (sysfs spells them as 4 lower-case hex digits).
rule=$root/usr/lib/udev/rules.d/70-flasher.rules
want_vid=$(printf '%04x' "$((vid))")
want_pid=$(printf '%04x' "$((pid))")
want_rule="SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"$want_vid\", ATTR{idProduct}==\"$want_pid\", MODE=\"0660\", GROUP=\"plugdev\", TAG+=\"uaccess\""
if [ -f "$rule" ]; then
  got_rule=$(grep -v '^#' "$rule")
  [ "$got_rule" = "$want_rule" ] || printf 'FAIL: udev rule\n  got:  %s\n  want: %s\n' "$got_rule" "$want_rule"
  [ "$got_rule" = "$want_rule" ] || failures=$((failures + 1))
else
  fail "no usr/lib/udev/rules.d/70-flasher.rules"
fi

[ "$failures" -eq 0 ] && echo "deb: $got_debs: flasher with its manual page and the udev rule for $want_vid:$want_pid$([ "$with_vdev" = 1 ] && echo ", flasher-vdev with its shim")"
exit $((failures > 0))
