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
# wine_copy_prefix, wine_cleanup, wine_stop and wine_boot_devices (below).

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

# wine_boot_devices <wine> <count>: run under flasher-vdev, in the test's
# scratch dir. Starts this prefix's wineserver, persistent, and with it Wine's
# services (wineusb.sys among them), so that they and every Wine process get
# the virtual devices, all with tracing off; then waits until Wine's registry
# holds <count> USB devices. Leaves the registry's USB keys in ./registry and
# Wine's complaints in ./boot.log; false when the devices are not all there
# after 60 s. Everything Wine starts writes to files: the services keep the
# descriptors they were given.
wine_enum_key='HKLM\System\CurrentControlSet\Enum\USB'
wine_enum_line='^HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB\\[^\\]+\\[^\\]+'$'\r''?$'
wine_boot_devices() {
  local wine=$1 count=$2 listed deadline
  WINEDEBUG=-all "$(dirname "$wine")/wineserver" -p >>boot.log 2>&1
  deadline=$(($(date +%s) + 60))
  while :; do
    WINEDEBUG=-all "$wine" reg query "$wine_enum_key" /s >registry 2>>boot.log
    listed=$(grep -cE "$wine_enum_line" registry)
    [ "$listed" -ge "$count" ] && return 0
    if [ "$(date +%s)" -ge "$deadline" ]; then
      echo "Wine's registry holds $listed of the $count devices after 60 s" >>boot.log
      return 1
    fi
    sleep 0.2
  done
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
