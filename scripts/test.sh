#!/usr/bin/env bash
# Installs what is missing, builds everything from scratch with warnings as
# errors, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build=build/test
rm -rf "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLASHER_WERROR=ON
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j2
