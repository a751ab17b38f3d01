#!/usr/bin/env bash
# The udev rule is generated from the build's IDs: each case gives the IDs as
# a product would configure them and the exact rule line udev must see (the
# seat user through uaccess, the group plugdev through MODE and GROUP; sysfs
# writes idVendor/idProduct as four lower-case hex digits). Bad IDs must stop
# the generation instead of writing a rule that never matches.
# Usage: udev_rule_test.sh <source dir>
set -u
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

rule_line() { # vid pid -> the expected rule line, written out by hand below
  echo "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"$1\", ATTR{idProduct}==\"$2\", MODE=\"0660\", GROUP=\"plugdev\", TAG+=\"uaccess\""
}

# vid pid expected-vid expected-pid
good_cases=(
  "0x1209 0x000A 1209 000a"
  "0x1209 0xA    1209 000a"
  "0XABCD 0x1    abcd 0001"
  "0xffff 0xFFFF ffff ffff"
  "0x0001 0x0000 0001 0000"
  "0x00EF 0x00beef 00ef beef"
)
for c in "${good_cases[@]}"; do
  read -r vid pid ev ep <<<"$c"
  out=$work/rule
  rm -f "$out"
  if ! cmake -DVID="$vid" -DPID="$pid" -DOUT="$out" -P "$src/packaging/udev_rule.cmake" >"$work/log" 2>&1; then
    echo "FAIL $vid $pid: generation failed: $(cat "$work/log")"
    failures=$((failures + 1))
    continue
  fi
  got=$(grep -v '^#' "$out")
  want=$(rule_line "$ev" "$ep")
  if [ "$got" != "$want" ]; then
    printf 'FAIL %s %s:\n  got:  %s\n  want: %s\n' "$vid" "$pid" "$got" "$want"
    failures=$((failures + 1))
  fi
  if [ "$(grep -c . "$out")" -ne 2 ]; then
    echo "FAIL $vid $pid: expected one comment and one rule line"
    failures=$((failures + 1))
  fi
done

# IDs that must be refused: no rule file may be left behind.
bad_cases=("0x12345 0x0001" "1209 0x0001" "0xZZ 0x0001" "0x1209 " "0x 0x0001" "0x1209 -0x1")
for c in "${bad_cases[@]}"; do
  read -r vid pid <<<"$c"
  out=$work/bad
  rm -f "$out"
  if cmake -DVID="$vid" -DPID="${pid:-}" -DOUT="$out" -P "$src/packaging/udev_rule.cmake" >/dev/null 2>&1 || [ -e "$out" ]; then
    echo "FAIL '$vid' '${pid:-}': accepted"
    failures=$((failures + 1))
  fi
done

[ "$failures" -eq 0 ] && echo "udev rule: all cases pass"
exit $((failures > 0))
