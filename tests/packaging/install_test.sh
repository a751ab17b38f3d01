#!/usr/bin/env bash
# cmake --install into a temporary prefix puts every file where GNUInstallDirs
# and udev expect it, and never installs the Windows program.
# Usage: install_test.sh <build dir> <with flasher-vdev: 0|1>
set -u
build=$1 with_vdev=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/usr/local

if ! cmake --install "$build" --prefix "$prefix" >"$work/log" 2>&1; then
  cat "$work/log"
  echo "FAIL: cmake --install"
  exit 1
fi

programs=(bin/flasher)
[ "$with_vdev" = 1 ] && programs+=(bin/flasher-vdev)
expected=("${programs[@]}" share/man/man1/flasher.1 lib/udev/rules.d/70-flasher.rules)
# flasher-vdev preloads the libraries named in it from its own directory.
if [ "$with_vdev" = 1 ] && [ -f "$prefix/bin/flasher-vdev" ]; then
  for lib in $(strings "$prefix/bin/flasher-vdev" | grep -o '^lib[A-Za-z0-9_]*\.so$' | sort -u); do
    expected+=("bin/$lib")
  done
fi
failures=0
for f in "${expected[@]}"; do
  [ -f "$prefix/$f" ] || { echo "FAIL: $f not installed"; failures=$((failures + 1)); }
done
for f in "${programs[@]}"; do
  [ -x "$prefix/$f" ] || { echo "FAIL: $f not executable"; failures=$((failures + 1)); }
done
[ "$with_vdev" = 1 ] || [ ! -e "$prefix/bin/flasher-vdev" ] ||
  { echo "FAIL: flasher-vdev installed though the build has none"; failures=$((failures + 1)); }
if [ -n "$(find "$work" -iname '*.exe')" ]; then
  echo "FAIL: a plain install put down a Windows program"
  failures=$((failures + 1))
fi
# Nothing lands outside the prefix (install rules with absolute paths would).
stray=$(cd "$work" && find . -mindepth 1 -maxdepth 2 ! -path ./usr ! -path ./usr/local ! -name log)
[ -z "$stray" ] || { echo "FAIL: files outside the prefix: $stray"; failures=$((failures + 1)); }

[ "$failures" -eq 0 ] && echo "install: ${expected[*]}"
exit $((failures > 0))
