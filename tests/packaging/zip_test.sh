#!/usr/bin/env bash
# When this build has cross-built flasher-win.exe, cpack -G ZIP packs exactly
# that program, flasher-probe.exe and the Windows guide. Skipped (status 77)
# when there is no flasher-win.exe.
# Usage: zip_test.sh <build dir> <version>
set -u
build=$1 version=$2
exe=$build/flasher-win/flasher-win.exe
[ -f "$exe" ] || { echo "no $exe in this build: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack -G ZIP"
  exit 1
fi
zip=$work/out/flasher-win-$version.zip
[ -f "$zip" ] || { echo "FAIL: no $(basename "$zip"); got: $(ls "$work/out")"; exit 1; }
mkdir "$work/x"
(cd "$work/x" && cmake -E tar xf "$zip") || { echo "FAIL: cannot unpack the zip"; exit 1; }
top=./flasher-win-$version
files=$(cd "$work/x" && find . -type f | sort)
want=$(printf '%s\n' "$top/docs/windows.md" "$top/flasher-probe.exe" "$top/flasher-win.exe")
[ "$files" = "$want" ] || { printf 'FAIL: zip holds:\n%s\nwant only:\n%s\n' "$files" "$want"; exit 1; }
source=$(cd "$(dirname "$0")/../.." && pwd)
for pair in "flasher-win.exe:$exe" "flasher-probe.exe:$build/flasher-win/flasher-probe.exe" \
            "docs/windows.md:$source/docs/windows.md"; do
  cmp -s "$work/x/$top/${pair%%:*}" "${pair#*:}" ||
    { echo "FAIL: packed ${pair%%:*} differs from ${pair#*:}"; exit 1; }
done
echo "zip: flasher-win-$version.zip holds flasher-win.exe, flasher-probe.exe and docs/windows.md"
