#!/usr/bin/env bash
# The input's size as flasher-win measures it, under Wine: the front end's
# real prepare_run() (prepare_run_probe.exe, tests/winusb/windows/) on sparse
# files around the 32-bit limits. long is 32 bits on Windows; measured with
# fseek/ftell into a long, Wine's msvcrt gives the low 32 bits of the size as
# a signed long, so an image of 4 GiB + 256 bytes came out as 256 and went out
# as a parameter block.
# Usage: input_size_wine.sh <wine> <prepare_run_probe.exe> <prefix dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=wine_prefix.sh
. "$here/wine_prefix.sh"
wine=$1 probe=$(realpath "$2") made=$(realpath "$3")

scratch=$(mktemp -d "${TMPDIR:-/tmp}/flasher-wine-size.XXXXXX")
trap 'wine_cleanup "$wine" "$scratch"' EXIT
wine_copy_prefix "$made" "$scratch" || { echo "cannot copy the Wine prefix from $made"; exit 1; }
export WINEDEBUG=-all
mkdir "$scratch/files"
# One server for all the runs, so that Wine starts only once.
"$(dirname "$wine")/wineserver" -p >"$scratch/wineserver.log" 2>&1

failures=0
# size <bytes> <expected output>: a sparse file of that size, then the probe.
# Its output goes to a file: Wine's services, started by the first run, keep
# the descriptors they were given until the server ends.
size() {
  local file=$scratch/files/input-$1
  truncate -s "$1" "$file" || { echo "FAIL: cannot make a sparse file of $1 bytes"; failures=$((failures + 1)); return; }
  (cd "$scratch/files" && "$wine" "$probe" "${file##*/}" >"$scratch/out" 2>&1)
  local status=$? got
  got=$(cat "$scratch/out")
  got=${got%$'\r'}
  if [ "$status" -ne 0 ] || [ "$got" != "$2" ]; then
    echo "FAIL: $1 bytes: '$got' (status $status), expected '$2'"
    failures=$((failures + 1))
  else
    echo "ok: $1 bytes: $got"
  fi
  rm -f "$file"
}

G=$((1024 * 1024 * 1024))
size 256 "parameters 256"
size $((4 * G + 256)) "firmware $((4 * G + 256))"   # was 256: a parameter block
size $((4 * G)) "firmware $((4 * G))"               # was 0
size $((2 * G)) "firmware $((2 * G))"               # was -2147483648

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
