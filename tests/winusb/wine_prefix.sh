#!/usr/bin/env bash
# The Wine prefix of the Wine tests, made once per test run and copied by
# each test, so that no test pays the 10 to 15 s of `wineboot -i` and tests
# can run side by side, each with a wineserver of its own.
#
#   wine_prefix.sh make <wine> <umockdev-run | none> <dir>  (CTest fixture set-up)
#   wine_prefix.sh remove <dir>                             (CTest fixture clean-up)
#
# make builds <dir>/prefix under umockdev-run, whose empty sysfs hides the
# host's USB devices from Wine's wineusb.sys: no real device of the machine
# gets into the prefix's registry. Sourced, this file gives the tests
# wine_copy_prefix, wine_cleanup and wine_stop (below).

# wine_env <scratch dir>: a home, a temporary folder (where wineserver puts its
# socket) and no display, all inside the scratch dir; winedbg, winemenubuilder,
# Mono and Gecko kept away.
wine_env() {
  mkdir -p "$1/home" "$1/tmp" || return 1
  export HOME=$1/home TMPDIR=$1/tmp
  export WINEDLLOVERRIDES="winedbg.exe=d;winemenubuilder.exe=d;mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
}

# wine_copy_prefix <made dir> <scratch dir>: sets up the environment in the
# scratch dir and points WINEPREFIX at a copy of the prefix, made beside it in
# <made dir> so that drive_c (the bulk: Wine's DLLs, which no run writes) can
# be hard-linked; the registry files, which wineserver rewrites in place when
# they have more than one link, are copied. The copy is a new directory, so
# its wineserver is a new one, started by the first Wine program the test
# runs. wine_cleanup removes it.
wine_copy=
wine_copy_prefix() {
  local made=$1 f
  wine_env "$2" || return 1
  wine_copy=$(mktemp -d "$made/copy.XXXXXX") || return 1
  export WINEPREFIX=$wine_copy/prefix
  cp -al "$made/prefix" "$WINEPREFIX" || return 1
  for f in "$made"/prefix/*.reg "$made"/prefix/.update-timestamp; do
    cp --remove-destination "$f" "$WINEPREFIX/${f##*/}" || return 1
  done
}

# wine_cleanup <wine> <scratch dir>: stops the copy's wineserver if it still
# runs, and removes the copy and the scratch dir.
wine_cleanup() {
  if [ -n "$wine_copy" ]; then
    wine_stop "$(dirname "$1")/wineserver" "$wine_copy/prefix"
    rm -rf "$wine_copy"
  fi
  rm -rf "$2"
}

# wine_stop <wineserver> <prefix>: kills every process of that prefix and
# waits until its wineserver has gone. Nothing happens when none is running,
# or when the prefix is not there (no other prefix is ever touched).
wine_stop() {
  [ -d "$2" ] || return 0
  WINEPREFIX=$2 "$1" -k >/dev/null 2>&1
  WINEPREFIX=$2 "$1" -w >/dev/null 2>&1
  return 0
}

if [[ ${BASH_SOURCE[0]} != "$0" ]]; then
  return 0
fi

set -uo pipefail
case ${1:-} in
make)
  [ $# -eq 4 ] || { echo "usage: wine_prefix.sh make <wine> <umockdev-run> <dir>" >&2; exit 2; }
  wine=$2 umockdev_run=$3 dir=$4
  rm -rf "$dir"
  wine_env "$dir" || exit 1
  export WINEPREFIX=$dir/prefix WINEDEBUG=-all
  start=$(date +%s%N)
  # wineserver -w: the registry is saved when the server ends. Without
  # umockdev-run ("none") the machine's USB devices get in.
  run=(sh -c '"$1" -i && "$2" -w' sh "$(dirname "$wine")/wineboot" "$(dirname "$wine")/wineserver")
  [ "$umockdev_run" != none ] && run=("$umockdev_run" -- "${run[@]}")
  if ! "${run[@]}" >"$dir/wineboot.log" 2>&1; then
    wine_stop "$(dirname "$wine")/wineserver" "$WINEPREFIX"
    echo "wineboot failed:"
    cat "$dir/wineboot.log"
    exit 1
  fi
  # The server's socket folder is named in the prefix; each copy makes its own.
  rm -f "$WINEPREFIX/wineserver"
  rm -rf "$dir/tmp"
  echo "Wine prefix made in $((($(date +%s%N) - start) / 1000000)) ms: $WINEPREFIX"
  ;;
remove)
  [ $# -eq 2 ] || { echo "usage: wine_prefix.sh remove <dir>" >&2; exit 2; }
  rm -rf "$2"
  ;;
*)
  echo "usage: wine_prefix.sh make <wine> <umockdev-run> <dir> | remove <dir>" >&2
  exit 2
  ;;
esac
