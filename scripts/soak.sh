#!/usr/bin/env bash
# A larger soak of flasher-gang --watch than CI runs: 200 plug-ins over four
# virtual ports, one in ten with a fault, fast pauses (the CTest test with
# label soak runs 40). Builds what it needs first.
#
# Usage: scripts/soak.sh [PLUG_INS]     (default 200; build dir: build/soak)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${FLASHER_SOAK_BUILD:-build/soak}
scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLASHER_BUILD_WINDOWS=OFF >/dev/null
cmake --build "$build" --target soak_test flasher flasher-vdev flasher-gang
FLASHER_SOAK_PLUG_INS=${1:-200} "$build/tests/gang/soak_test"
