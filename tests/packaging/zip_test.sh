#!/usr/bin/env bash
# When this build has cross-built flasher-win.exe, cpack -G ZIP packs exactly
# that program, flasher-probe.exe and the Windows guide: the programs
# stripped (the build keeps them whole, with their symbols), the guide with
# no link that leads out of the zip. Skipped (status 77) when there is no
# flasher-win.exe.
# Usage: zip_test.sh <build dir> <version> <mingw objdump> <mingw strip>
set -u
build=$1 version=$2 objdump=$3 strip=$4
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
cmp -s "$work/x/$top/docs/windows.md" "$source/docs/windows.md" ||
  { echo "FAIL: packed docs/windows.md differs from $source/docs/windows.md"; exit 1; }

# Each program as the build made it, stripped: nothing else changed. The
# build's own keeps its symbols.
# strip stamps the PE header with the time it ran (TimeDateStamp, 4 bytes at
# 8 past the header that e_lfanew points to) and sums the file into the
# optional header's CheckSum (at 88 past it): both copies get zeros there
# before they are compared, or a second that turns between the two strips
# would tell them apart.
symbols() { "$objdump" -t "$1" | grep -c '^\['; }
unstamped() {
  local pe
  pe=$(od -An -t u4 -j 60 -N 4 "$1" | tr -d ' ')
  cp "$1" "$2" &&
    printf '\0\0\0\0' | dd of="$2" bs=1 seek=$((pe + 8)) conv=notrunc status=none &&
    printf '\0\0\0\0' | dd of="$2" bs=1 seek=$((pe + 88)) conv=notrunc status=none
}
for name in flasher-win.exe flasher-probe.exe; do
  built=$build/flasher-win/$name packed=$work/x/$top/$name
  "$strip" --strip-all -o "$work/$name" "$built" || { echo "FAIL: cannot strip $built"; exit 1; }
  unstamped "$packed" "$work/packed-$name" && unstamped "$work/$name" "$work/stripped-$name" ||
    { echo "FAIL: cannot read the PE header of $name"; exit 1; }
  cmp -s "$work/packed-$name" "$work/stripped-$name" ||
    { echo "FAIL: packed $name is not $built stripped"; exit 1; }
  [ "$(symbols "$packed")" -eq 0 ] || { echo "FAIL: packed $name has symbols"; exit 1; }
  [ "$(symbols "$built")" -gt 0 ] || { echo "FAIL: $built lost its symbols"; exit 1; }
done

# Every link of the guide leads to a heading of its own or to a file in the
# zip: one that leads elsewhere is broken for whoever unpacked it.
guide=$work/x/$top/docs/windows.md
slug() { tr 'A-Z' 'a-z' | sed 's/[^a-z0-9 _-]//g; s/ /-/g'; }
anchors=$(sed -n 's/^#\{1,6\} //p' "$guide" | slug)
while IFS= read -r target; do
  case $target in
  '#'*) grep -qxF "${target#\#}" <<<"$anchors" || { echo "FAIL: no heading for link $target"; exit 1; } ;;
  *://* | mailto:*) echo "FAIL: link $target leads out of the zip"; exit 1 ;;
  *) [ -f "$(dirname "$guide")/${target%%#*}" ] || { echo "FAIL: link $target leads out of the zip"; exit 1; } ;;
  esac
done < <(grep -o '](\([^)]*\))' "$guide" | sed 's/^](//; s/)$//')
echo "zip: flasher-win-$version.zip holds flasher-win.exe and flasher-probe.exe stripped, and docs/windows.md with no link out"
