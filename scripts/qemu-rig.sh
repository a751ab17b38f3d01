#!/usr/bin/env bash
# The QEMU rig in one command: builds flasher, flasher-gadget, flasher-gang,
# flasher-probe and the rig's host-side descriptor check, then boots Debian's
# kernel under QEMU and runs
# every case (the same test CTest runs as qemu_rig). Needs root only to
# install missing packages; the kernel and udev packages are fetched with
# apt-get download and kept in the build directory for reruns.
#
# Usage: scripts/qemu-rig.sh [build-dir]     (default build/rig)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/rig}
scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target flasher flasher-gadget flasher-gang flasher-probe os_desc_check
ctest --test-dir "$build" -R '^qemu_rig$' --output-on-failure --verbose
