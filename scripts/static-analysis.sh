#!/usr/bin/env bash
# Static analysis with zero findings allowed: clang-format (the tree's
# .clang-format), clang-tidy (the tree's .clang-tidy) and cppcheck, over the
# tracked C++ sources. Usage: scripts/static-analysis.sh BUILD_DIR, where
# BUILD_DIR is a configured clang build (its compile_commands.json is used).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: scripts/static-analysis.sh BUILD_DIR}
root=$(pwd)

mapfile -t sources < <(git ls-files '*.cpp' '*.h')

# Sources the build generates (the record's schema, compiled in) are made
# first: cppcheck will not load a compilation database naming a missing file.
build_abs=$(cd "$build" && pwd)
mapfile -t generated < <(jq -r '.[].file' "$build/compile_commands.json" |
  while read -r f; do [ -e "$f" ] || echo "${f#"$build_abs"/}"; done)
[ ${#generated[@]} -eq 0 ] || cmake --build "$build" --target "${generated[@]}" >/dev/null

echo "clang-format: ${#sources[@]} files"
clang-format-14 --dry-run --Werror "${sources[@]}"

# Only the sources this platform compiles are in the database; the Windows
# ones are analysed by the tests that build them natively.
mapfile -t units < <(git ls-files '*.cpp' | while read -r f; do
  grep -qF "\"$root/$f\"" "$build/compile_commands.json" && echo "$root/$f"
done)
echo "clang-tidy: ${#units[@]} translation units"
printf '%s\n' "${units[@]}" |
  xargs -P 2 -n 4 clang-tidy-14 -p "$build" --quiet 2>/dev/null >"$build/clang-tidy.log" || {
  grep -E 'warning:|error:' -A3 "$build/clang-tidy.log" | head -n 200
  echo "clang-tidy: findings (all of them in $build/clang-tidy.log)" >&2
  exit 1
}

# cppcheck: warnings, performance and portability. Suppressed here, each
# with its reason:
#   containerOutOfBounds in device_id_test.cpp: a guard array bigger than the
#     path span; cppcheck takes the span's size for the array's. (Named as
#     cppcheck names it: relative to the tree when the build is inside it,
#     else by its absolute path.)
echo "cppcheck"
cppcheck --project="$build/compile_commands.json" --std=c++20 --library=googletest \
  --enable=warning,performance,portability --inline-suppr --error-exitcode=1 -q -j2 \
  -i "$root/build" -i "$build" \
  --suppress=missingIncludeSystem --suppress=unmatchedSuppression \
  --suppress="containerOutOfBounds:tests/winusb/device_id_test.cpp" \
  --suppress="containerOutOfBounds:$root/tests/winusb/device_id_test.cpp"
echo "static analysis: no findings"
