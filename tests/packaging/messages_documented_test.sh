#!/usr/bin/env bash
# Every line flasher can print is explained in the manual page and in the
# user's guide. The lines are taken from the sources, so a new message that
# is not documented fails here. A format such as "page: %-3d\n" must show
# each of its literal pieces ("page:").
# Usage: messages_documented_test.sh <source dir>
set -u
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The catalogue: the front end's lines and the libusb back-end's two
# discovery lines.
grep -o '"[^"]*\\n"' "$src/frontend/messages.h" | sed 's/^"//; s/\\n"$//' >"$work/formats"
count=$(wc -l <"$work/formats")
[ "$count" -ge 16 ] || { echo "FAIL: found only $count messages in the sources"; cat "$work/formats"; exit 1; }

# flasher-win's own two lines belong in the user's guide only.
grep -o 'fprintf(stderr, "[^"]*\\n"' "$src/usb/winusb/winusb_transport.cpp" 2>/dev/null |
  sed 's/^fprintf(stderr, "//; s/\\n"$//' >"$work/win_formats"

# Documents as flat text: line breaks and runs of blanks become one space.
mandoc -T ascii "$src/docs/flasher.1" | sed "s/.\x08//g" | tr -s ' \n' '  ' >"$work/flasher.1.txt"
tr -s ' \n' '  ' <"$src/docs/user-guide.md" | sed 's/`//g; s/\\|/|/g' >"$work/user-guide.txt"

failures=0
while IFS= read -r format; do
  # Split at printf conversions; every literal piece must appear.
  mapfile -t pieces < <(printf '%s\n' "$format" | sed 's/%-\{0,1\}[0-9]*[sd]/\n/g' |
                        sed 's/^ *//; s/ *$//' | grep .)
  for doc in flasher.1 user-guide; do
    for piece in "${pieces[@]}"; do
      if ! grep -qF -- "$piece" "$work/$doc.txt"; then
        echo "FAIL: $doc does not show \"$piece\" (from \"$format\")"
        failures=$((failures + 1))
      fi
    done
  done
done <"$work/formats"
while IFS= read -r format; do
  grep -qF -- "$format" "$work/user-guide.txt" ||
    { echo "FAIL: user-guide does not show \"$format\""; failures=$((failures + 1)); }
done <"$work/win_formats"
count=$((count + $(wc -l <"$work/win_formats")))
[ "$failures" -eq 0 ] && echo "documented: all $count messages (flasher-win's in the guide only)"
exit $((failures > 0))
