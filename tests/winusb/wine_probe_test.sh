#!/usr/bin/env bash
# The real flasher-probe.exe under Wine against flasher-vdev's virtual devices
# (two with flasher-win's product ID around one with flasher's), all under
# one Wine start:
# - it lists the devices Wine's registry holds, by their instance IDs, with
#   the driver the registry gives each (Wine 8 installs none: no Service);
#   the first cannot be opened (Wine registers no device interface), the one
#   behind it is never reached, each not bound to WinUSB gets the remedy, the
#   other product ID is named; exit 1;
# - its input section is the one flasher-probe prints on the same files, with
#   flasher-win named where flasher-probe names flasher;
# - an input it cannot open still shows the devices, searched with the serial;
# - --paths lists nothing and exits 1;
# - no device is claimed or written to (flasher-vdev's account).
#
# Usage: wine_probe_test.sh <wine> <flasher-vdev> <flasher-probe.exe>
#                           <flasher-probe> <prefix dir> <vid> <win pid> <other pid>
# It runs itself as flasher-vdev's command, with --inside as first argument.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=wine_prefix.sh
. "$here/wine_prefix.sh"

# The probe's runs, by number from 0: its arguments. 0 is the one whose
# devices are checked; 5 searches with the serial although the input stops
# flasher-win (&1&3 is part of the third device's instance ID, Wine's
# ...\512&256&1&3); the last is --paths.
runs=("img3.bin" "big.bin all" "odd.bin" "tiny.bin" "params.bin" "missing.bin all &1&3"
      "erase all x" "--paths img3.bin")

# Under flasher-vdev, in the scratch dir: <wine> <exe> <device count>.
if [ "${1:-}" = --inside ]; then
  wine=$2 exe=$3 count=$4
  export WINEDEBUG=-all
  if wine_boot_devices "$wine" "$count"; then
    for n in "${!runs[@]}"; do
      # shellcheck disable=SC2086 # each run's arguments split on spaces
      "$wine" "$exe" ${runs[$n]} >"out.$n" 2>"err.$n"
      echo $? >"status.$n"
    done
  fi
  wine_stop "$(dirname "$wine")/wineserver" "$WINEPREFIX"
  exit 0
fi

[ $# -eq 8 ] || { echo "usage: wine_probe_test.sh <wine> <flasher-vdev> <flasher-probe.exe> <flasher-probe> <prefix dir> <vid> <win pid> <other pid>" >&2; exit 2; }
wine=$1 vdev=$(realpath "$2") exe=$(realpath "$3") linux_probe=$(realpath "$4") made=$(realpath "$5")
vid=$(printf '%04X' "$6") win_pid=$(printf '%04X' "$7") other_pid=$(printf '%04X' "$8")

scratch=$(mktemp -d "${TMPDIR:-/tmp}/flasher-wine-probe.XXXXXX")
trap 'wine_cleanup "$wine" "$scratch"' EXIT
wine_copy_prefix "$made" "$scratch" || { echo "cannot copy the Wine prefix from $made"; exit 1; }

# Images with a trailer, past the page limit, with an odd tail, shorter than
# a header; a parameter block.
cd "$scratch" || exit 1
for f in img3.bin:6171 big.bin:493595 odd.bin:6162 tiny.bin:5 params.bin:256; do
  head -c "${f#*:}" /dev/urandom >"${f%:*}"
done

"$vdev" --account account --device "vid=0x$vid,pid=0x$win_pid" \
  --device "vid=0x$vid,pid=0x$other_pid" --device "vid=0x$vid,pid=0x$win_pid" -- \
  "$here/wine_probe_test.sh" --inside "$wine" "$exe" 3
if [ ! -f "status.0" ]; then
  echo "FAIL: the probe did not run (Wine's start, then flasher-vdev's account:)"
  cat boot.log account 2>/dev/null
  exit 1
fi

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
text() { tr -d '\r' <"$1"; }

# The devices and their drivers, from Wine's registry: each device key, then
# its values up to the next key.
key_re='^HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\(USB\\[^\\]+\\[^\\]+)$'
service_re='^ +Service +REG_SZ +(.+)$'
ids=() drivers=() other=
key=
while IFS= read -r line; do
  if [[ $line =~ $key_re ]]; then
    key=${BASH_REMATCH[1]}
    if [[ $key == "USB\\VID_$vid&PID_$win_pid\\"* ]]; then
      ids+=("$key") drivers+=("no driver")
    elif [[ $key == "USB\\VID_$vid&PID_$other_pid\\"* ]]; then
      other=$key
    fi
  elif [[ $line =~ $service_re && ${#ids[@]} -gt 0 && ${ids[-1]} == "$key" ]]; then
    drivers[-1]="driver ${BASH_REMATCH[1]}"
  elif [[ $line =~ ^HKEY ]]; then
    key=
  fi
done < <(text registry)
[ ${#ids[@]} -eq 2 ] && [ -n "$other" ] || fail "Wine's registry lists ${ids[*]} and '$other'"

# The device lines of run 0, in the order listed: ID, driver, outcome; under
# each device that WinUSB does not drive, the remedy.
mapfile -t lines < <(text out.0 | sed -n '/^devices with /,/^[^ ]/p' | grep '^  ')
outcomes=("fails the attempt: cannot be opened (Windows error "
          "not examined: flasher-win stops at ${ids[0]} before it")
remedy='    bind it to WinUSB (now: %s): see "Binding the device to WinUSB" in docs/windows.md'
at=0
for i in 0 1; do
  line=${lines[$at]:-}
  [[ $line == "  ${ids[$i]} "* && $line == *"  ${drivers[$i]}  "* &&
     $line == *"${outcomes[$i]}"* ]] ||
    fail "device line $((i + 1)): '$line', expected ${ids[$i]}, ${drivers[$i]}, ${outcomes[$i]}"
  at=$((at + 1))
  shopt -s nocasematch
  if [[ ${drivers[$i]} != "driver WinUSB" ]]; then
    # shellcheck disable=SC2059 # the remedy line is the format
    [ "${lines[$at]:-}" = "$(printf "$remedy" "${drivers[$i]}")" ] ||
      fail "under device $((i + 1)): '${lines[$at]:-}', expected the remedy"
    at=$((at + 1))
  fi
  shopt -u nocasematch
done
[ "${lines[$at]:-}" = "  $other has $vid:$other_pid; flasher-win looks for $vid:$win_pid" ] ||
  fail "other product line: '${lines[$at]:-}'"
[ ${#lines[@]} -eq $((at + 1)) ] || fail "${#lines[@]} lines under \"devices with\", expected $((at + 1))"
verdict=$(text out.0 | grep '^verdict: ')
[ "$verdict" = "verdict: flasher-win would give up: every attempt fails at ${ids[0]}" ] ||
  fail "run 1: $verdict"
[ "$(cat status.0)" -eq 1 ] || fail "run 1: exit status $(cat status.0), expected 1"
[ -s err.0 ] && fail "run 1: standard error: $(text err.0)"
line=$(text out.5 | grep -F "  ${ids[0]} ")
[[ $line == *'passed over: "&1&3" is not in its instance ID' ]] ||
  fail "run 6 (serial &1&3, no input): '$line'"

# The input section on each file, against flasher-probe's, which names its
# own program where this one names flasher-win.
input_section() { sed -n '/^input: /,/^build: /p' | sed '$d'; }
last=$((${#runs[@]} - 1))
for ((n = 0; n < last; n++)); do
  # shellcheck disable=SC2086 # each run's arguments split on spaces
  want=$("$linux_probe" ${runs[$n]} 2>/dev/null | input_section | sed 's/\bflasher /flasher-win /g')
  got=$(text "out.$n" | input_section)
  [ -n "$want" ] && [ "$got" = "$want" ] ||
    fail "input section of '${runs[$n]}':"$'\n'"$got"$'\n'"--- flasher-probe's:"$'\n'"$want"
done

[ -s "out.$last" ] && fail "--paths: $(text "out.$last")"
[ "$(cat "status.$last")" -eq 1 ] || fail "--paths: exit status $(cat "status.$last"), expected 1"

[ "$(grep -c '^  no transfers$' account)" -eq 3 ] && [ "$(grep -c 'interface 0 not claimed' account)" -eq 3 ] ||
  fail "a device was claimed or written to:"$'\n'"$(cat account)"

if [ "$failures" -ne 0 ]; then
  echo "--- run 1:"; text out.0
  echo "$failures failure(s)"
  exit 1
fi
echo "ok: ${ids[*]} listed with their drivers, the first cannot be opened; input sections agree"
