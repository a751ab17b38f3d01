#!/usr/bin/env bash
# cmake --install into a temporary prefix puts every file where GNUInstallDirs
# and udev expect it, and never installs the Windows program.
# Usage: install_test.sh <build dir> <with flasher-vdev: 0|1> <shim dir>
# The shim dir is where flasher-vdev's shim belongs, relative to the prefix.
set -u
build=$1 with_vdev=$2 shim_dir=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/usr/local

if ! cmake --install "$build" --prefix "$prefix" >"$work/log" 2>&1; then
  cat "$work/log"
  echo "FAIL: cmake --install"
  exit 1
fi

programs=(bin/flasher bin/flasher-probe bin/flasher-gang)
[ "$with_vdev" = 1 ] && programs+=(bin/flasher-vdev)
expected=("${programs[@]}" share/man/man1/flasher.1.gz share/man/man1/flasher-probe.1.gz
  share/man/man1/flasher-gang.1.gz lib/udev/rules.d/70-flasher.rules
  share/doc/flasher/README.md share/doc/flasher/user-guide.md)
[ "$with_vdev" = 1 ] && expected+=("$shim_dir/libflasher_vdev_shim.so")
[ "${FLASHER_WITH_RECORD_DB:-0}" = 1 ] && expected+=(share/flasher/schema.sql share/flasher/station-role.sql)
failures=0
for f in "${expected[@]}"; do
  [ -f "$prefix/$f" ] || { echo "FAIL: $f not installed"; failures=$((failures + 1)); }
done
for f in "${programs[@]}"; do
  [ -x "$prefix/$f" ] || { echo "FAIL: $f not executable"; failures=$((failures + 1)); }
done
# Exactly these files: no shim left in bin/, no uncompressed manual page.
got_list=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort)
want_list=$(printf '%s\n' "${expected[@]}" | sort)
[ "$got_list" = "$want_list" ] ||
  { printf 'FAIL: installed\n%s\nwant\n%s\n' "$got_list" "$want_list"; failures=$((failures + 1)); }
[ "$with_vdev" = 1 ] || [ ! -e "$prefix/bin/flasher-vdev" ] ||
  { echo "FAIL: flasher-vdev installed though the build has none"; failures=$((failures + 1)); }
if [ -n "$(find "$work" -iname '*.exe')" ]; then
  echo "FAIL: a plain install put down a Windows program"
  failures=$((failures + 1))
fi
# The installed flasher-vdev finds its installed shim from wherever the
# prefix is (it refuses to start without it) and erases a virtual device
# with the installed flasher.
if [ "$with_vdev" = 1 ] && [ -x "$prefix/bin/flasher-vdev" ]; then
  err=$("$prefix/bin/flasher-vdev" --fast-pauses --account /dev/null -- "$prefix/bin/flasher" erase 2>&1 >/dev/null)
  status=$?
  [ "$status" -eq 0 ] && [ "$err" = "continuing with flashing
erased" ] || { echo "FAIL: installed pair's erase exited $status: $err"; failures=$((failures + 1)); }
fi
# The installed flasher-gang finds the installed flasher beside it, wherever
# the prefix is: it erases the one virtual device.
if [ "$with_vdev" = 1 ] && [ -x "$prefix/bin/flasher-gang" ]; then
  out=$(cd "$work" && "$prefix/bin/flasher-vdev" --fast-pauses --account /dev/null -- \
    "$prefix/bin/flasher-gang" --logs "$work/logs" erase 2>&1)
  status=$?
  [ "$status" -eq 0 ] && [[ "$out" == *$'\n1-1 '*' ok '*'  erased'$'\n'* ]] &&
    [[ "$out" == *"logs: $work/logs/"* ]] ||
    { echo "FAIL: installed flasher-gang exited $status: $out"; failures=$((failures + 1)); }
  rm -rf "$work/logs"
fi
# Nothing lands outside the prefix (install rules with absolute paths would).
stray=$(cd "$work" && find . -mindepth 1 -maxdepth 2 ! -path ./usr ! -path ./usr/local ! -name log)
[ -z "$stray" ] || { echo "FAIL: files outside the prefix: $stray"; failures=$((failures + 1)); }

[ "$failures" -eq 0 ] && echo "install: ${expected[*]}"
exit $((failures > 0))
