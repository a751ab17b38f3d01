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

# The whole suite again, every native program built with AddressSanitizer and
# UndefinedBehaviorSanitizer: any report fails its test. The run-time options
# (umockdev's preload ahead of the ASan runtime among them) are compiled into
# the programs; see cmake/sanitizer_options.cpp. Tests that run none of our
# native code (under wine or QEMU, say) carry the label no-sanitize.
san=build/sanitize
rm -rf "$san"
cmake -S . -B "$san" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DFLASHER_WERROR=ON -DFLASHER_SANITIZE=ON
cmake --build "$san"
ctest --test-dir "$san" --output-on-failure -j2 -LE no-sanitize
