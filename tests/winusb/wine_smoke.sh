#!/usr/bin/env bash
# Smoke runs of the real flasher-win.exe under Wine, in a copy of the test
# run's Wine prefix (wine_prefix.sh). Outside flasher-vdev Wine lists no
# target device, so only what happens before a device is opened runs here: the
# usage lines, a missing file, and the connection attempts failing with no
# device attached. Standard error is in text mode, so every line ends in CR LF
# as on Windows.
# Usage: wine_smoke.sh <wine> <flasher-win.exe> <prefix dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=wine_prefix.sh
. "$here/wine_prefix.sh"
wine=$1
exe_built=$2
made=$(realpath "$3")
bindir=$(dirname "$wine")

tmp=$(mktemp -d "${TMPDIR:-/tmp}/flasher-wine.XXXXXX")
trap 'wine_cleanup "$wine" "$tmp"' EXIT
wine_copy_prefix "$made" "$tmp" || { echo "cannot copy the Wine prefix from $made"; exit 1; }
export WINEDEBUG=-all
mkdir -p "$tmp/bin" "$tmp/work"

# A copy at a known place, so argv[0] is known: Wine hands the program its
# DOS path, drive Z: being the Unix root.
exe=$tmp/bin/flasher-win.exe
cp "$exe_built" "$exe"
argv0="Z:${exe//\//\\}"

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# run <name> <status> <expected stderr> [args...]: runs the program in the work
# folder and compares exit status, standard output (always empty here) and
# standard error byte for byte.
run() {
  local name=$1 want_status=$2 want_err=$3 before=$failures
  shift 3
  (cd "$tmp/work" && "$wine" "$exe" "$@" >"$tmp/out" 2>"$tmp/err")
  local status=$?
  [ "$status" -eq "$want_status" ] || fail "$name: exit status $status, expected $want_status"
  [ -s "$tmp/out" ] && fail "$name: unexpected standard output: $(od -c "$tmp/out" | head -5)"
  printf '%s' "$want_err" >"$tmp/want"
  if ! cmp -s "$tmp/want" "$tmp/err"; then
    fail "$name: standard error differs"
    echo "--- expected"; od -c "$tmp/want"
    echo "--- got"; od -c "$tmp/err"
  fi
  [ "$failures" -eq "$before" ] && echo "ok: $name"
}

run usage 1 "Usage: $argv0 signed_firmware.bin | params [all] [serial]"$'\r\n'"Usage: $argv0 erase [all] [serial]"$'\r\n'

run missing_file 1 $'cannot open firmware missing.bin\r\n' missing.bin all SN01

# Four attempts, each followed by a 1 s pause, then giving up.
again=$'cannot open usb connection, trying again\r\n'
start=$(date +%s%N)
run no_device 1 "$again$again$again$again"$'cannot open usb connection, giving up\r\n' erase all
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
[ "$elapsed_ms" -ge 4000 ] || fail "no_device: took ${elapsed_ms} ms, the four pauses alone take 4000"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "all Wine smoke runs passed"
