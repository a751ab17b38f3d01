#!/usr/bin/env bash
# Installs what is missing, builds everything from scratch with warnings as
# errors, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
# It installed the PostgreSQL server: the record's database tests run, never
# skip.
export FLASHER_REQUIRE_POSTGRES=1

# The Release build, as users get it: no warning is allowed in it either.
build=build/test
rm -rf "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFLASHER_WERROR=ON
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j2

# Static analysis (formatting, clang-tidy and cppcheck, no finding allowed)
# runs beside the sanitizer and fuzzing stages below, over a clang
# configuration of its own, at the lowest priority: it takes the CPU those
# stages leave idle while their tests wait for a device, a pause or a
# server, and gives it back at once when they wake. Its report is shown at
# the end, and any finding fails the run.
tidy=build/tidy
rm -rf "$tidy"
CC=clang-14 CXX=clang++-14 cmake -S . -B "$tidy" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFLASHER_WERROR=ON >/dev/null
# A process group of its own (job control, just for this), so that it can
# be stopped whole; not a session of its own, which the kernel would give
# an equal share of the CPU whatever its priority.
set -m
nice -n 19 scripts/static-analysis.sh "$tidy" >"$tidy/static-analysis.log" 2>&1 &
analysis=$!
set +m
trap 'kill -- -"$analysis" 2>/dev/null || true' EXIT

# The whole suite again, every native program built with AddressSanitizer and
# UndefinedBehaviorSanitizer: any report fails its test. The run-time options
# (umockdev's preload ahead of the ASan runtime among them) are compiled into
# the programs; see cmake/sanitizer_options.cpp. Tests that run none of our
# native code (under wine or QEMU, say) carry the label no-sanitize. The
# Windows programs are left out of this build: only those tests run them.
# Line tables are all the debug information a sanitizer's report needs
# (-g1), and a fifth quicker to compile than the whole of it.
san=build/sanitize
rm -rf "$san"
cmake -S . -B "$san" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 \
  -DFLASHER_WERROR=ON -DFLASHER_SANITIZE=ON -DFLASHER_BUILD_WINDOWS=OFF
cmake --build "$san"
ctest --test-dir "$san" --output-on-failure -j2 -LE no-sanitize

# Fuzzing: the libFuzzer targets need clang, so they get a configuration of
# their own. First every committed seed once, then a minute of fuzzing per
# target, the two side by side (each fuzzer keeps to one core); any finding
# (a crash or a broken invariant) fails the run and is kept under
# build/fuzz/findings/.
fuzz=build/fuzz
rm -rf "$fuzz"
CC=clang-14 CXX=clang++-14 cmake -S . -B "$fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFLASHER_WERROR=ON
cmake --build "$fuzz" --target fuzz_targets
ctest --test-dir "$fuzz" -L fuzz --output-on-failure
mkdir -p "$fuzz/findings"
targets=(flasher usb_path)
fuzzers=()
for target in "${targets[@]}"; do
  mkdir -p "$fuzz/corpus-$target"
  "$fuzz/tests/fuzz/fuzz_$target" -max_total_time="${FUZZ_SECONDS:-60}" -max_len=4096 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$fuzz/findings/" \
    "$fuzz/corpus-$target" "tests/fuzz/corpus/$target" 2>"$fuzz/fuzz-$target.log" &
  fuzzers+=($!)
done
for i in "${!targets[@]}"; do
  log=$fuzz/fuzz-${targets[$i]}.log
  wait "${fuzzers[$i]}" || { tail -n 60 "$log"; exit 1; }
  grep -E '^stat::number_of_executed_units' "$log"
done

# The static analysis started beside the sanitizer stage.
trap - EXIT
status=0
wait "$analysis" || status=$?
cat "$tidy/static-analysis.log"
exit "$status"
