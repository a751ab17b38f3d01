#!/usr/bin/env bash
# Flashes a firmware image into a virtual target device and shows what the
# device received. Builds flasher and flasher-vdev first if they are missing,
# installing the Debian packages that build needs (the compiler, CMake,
# Ninja, pkg-config, libusb and umockdev; scripts/install-deps.sh demo).
#
# Usage: scripts/demo.sh [IMAGE]
#   Without IMAGE a sample image is made: an 11-byte header, 3 pages and a
#   16-byte trailer. The run pauses for real, as with a device.
set -euo pipefail

if [ $# -gt 1 ]; then
  echo "Usage: scripts/demo.sh [IMAGE]" >&2
  exit 2
fi
# The image is named from where the script was called, before it moves to
# the repository's root.
if [ $# -eq 1 ]; then
  [ -f "$1" ] && [ -r "$1" ] || { echo "demo: cannot read $1" >&2; exit 1; }
  image=$(realpath "$1")
fi
cd "$(dirname "$0")/.."
build=${FLASHER_DEMO_BUILD:-build/demo}

if [ ! -x "$build/flasher" ] || [ ! -x "$build/flasher-vdev" ]; then
  scripts/install-deps.sh demo
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLASHER_BUILD_TESTS=OFF \
      >/dev/null
  fi
  cmake --build "$build" --target flasher flasher-vdev
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -z "${image:-}" ]; then
  # Header, pages and trailer, each byte easy to recognise in the account.
  image=$work/sample.bin
  {
    printf 'SAMPLE-HDR!'
    for page in 0 1 2; do
      for chunk in $(seq 0 31); do printf '%-63s\n' "page $page chunk $chunk"; done
    done
    printf 'TRAILER-16-BYTES'
  } >"$image"
fi

echo "== $build/flasher $image   (on a virtual device)"
status=0
"$build/flasher-vdev" --account "$work/account.txt" --expect-image "$image" -- \
  "$build/flasher" "$image" || status=$?
if [ -f "$work/account.txt" ]; then
  echo
  echo "== what the virtual device received"
  cat "$work/account.txt"
fi
exit "$status"
