#!/usr/bin/env bash
# The unmodified flasher-win.exe under Wine against flasher-vdev's virtual
# devices: Wine's wineusb.sys takes them from libusb, which flasher-vdev feeds
# through umockdev, and Wine's own SetupAPI lists them. What flasher-win asked
# for and opened is read from Wine's trace (WINEDEBUG +setupapi,+file). Wine
# registers no USB device interface, so every open fails and the run ends
# after four attempts; WinUSB itself is not reached. flasher-probe.exe runs
# first with the same arguments, and what it foretells must be what
# flasher-win then does: the device it gives up at, or none passing.
#
# Usage: wine_vdev_test.sh <wine> <flasher-vdev> <flasher-win.exe>
#                          <flasher-probe.exe> <prefix dir> <vid> <win pid>
#                          <other pid> <case>
#   <prefix dir> is made by wine_prefix.sh; the IDs are hex; <case> is a name
#   from wine_vdev_cases.txt.
# It runs itself as flasher-vdev's command, with --inside as first argument.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=wine_prefix.sh
. "$here/wine_prefix.sh"

# Under flasher-vdev, in the scratch dir: <wine> <exe> <probe> <device count>
# <args...>. Wine and its services start with the virtual devices
# (wine_boot_devices); the probe and then flasher-win run once Wine's registry
# holds every device, and flasher-win is the only process that traces. The
# server is persistent, so the services stay up until the end.
if [ "${1:-}" = --inside ]; then
  wine=$2 exe=$3 probe=$4 count=$5
  shift 5
  export WINEDEBUG=-all
  if ! wine_boot_devices "$wine" "$count"; then
    wine_stop "$(dirname "$wine")/wineserver" "$WINEPREFIX"
    exit 90
  fi
  "$wine" "$probe" "$@" >probe_out 2>probe_err
  echo $? >probe_status
  WINEDEBUG=-all,+setupapi,+file "$wine" "$exe" "$@" >out 2>err
  echo $? >status
  wine_stop "$(dirname "$wine")/wineserver" "$WINEPREFIX"
  exit 0
fi

[ $# -eq 9 ] || { echo "usage: wine_vdev_test.sh <wine> <flasher-vdev> <flasher-win.exe> <flasher-probe.exe> <prefix dir> <vid> <win pid> <other pid> <case>" >&2; exit 2; }
wine=$1 vdev=$(realpath "$2") exe=$(realpath "$3") probe=$(realpath "$4") made=$(realpath "$5")
case=$9
vid=$(printf '%04X' "$6") win_pid=$(printf '%04X' "$7") other_pid=$(printf '%04X' "$8")

row=$(awk -v name="$case" '$1 == name' "$here/wine_vdev_cases.txt")
read -r _ devices serial opened <<<"$row"
[ -n "${opened:-}" ] || { echo "no case '$case' in wine_vdev_cases.txt" >&2; exit 2; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/flasher-wine-vdev.XXXXXX")
trap 'wine_cleanup "$wine" "$scratch"' EXIT
wine_copy_prefix "$made" "$scratch" || { echo "cannot copy the Wine prefix from $made"; exit 1; }

# flasher-vdev's devices and the instance IDs Wine gives them start with.
# A device may carry more of flasher-vdev's --device settings after a '/'.
device_args=()
win_count=0 other_count=0
for d in ${devices//+/ }; do
  more=
  [[ $d == */* ]] && more=,${d#*/}
  case ${d%%/*} in
  win) device_args+=(--device "vid=$vid,pid=$win_pid$more"); win_count=$((win_count + 1)) ;;
  other) device_args+=(--device "vid=$vid,pid=$other_pid$more"); other_count=$((other_count + 1)) ;;
  *) echo "case $case: unknown device '$d'" >&2; exit 2 ;;
  esac
done
win_id="USB\\VID_$vid&PID_$win_pid\\"
other_id="USB\\VID_$vid&PID_$other_pid\\"
args=(erase)
case $serial in
-) ;;
'""') args+=("") ;;
*) args+=("$serial") ;;
esac

start=$(date +%s%N)
(cd "$scratch" && "$vdev" --account "$scratch/account" "${device_args[@]}" -- \
  "$here/wine_vdev_test.sh" --inside "$wine" "$exe" "$probe" $((win_count + other_count)) "${args[@]}")
vdev_status=$?
echo "case $case: ${devices//+/, } (serial argument: $serial); $((($(date +%s%N) - start) / 1000000)) ms"
if [ "$vdev_status" -ne 0 ] || [ ! -f "$scratch/status" ]; then
  echo "FAIL: flasher-vdev ended with status $vdev_status (Wine's start, then its account:)"
  cat "$scratch/boot.log" "$scratch/account" 2>/dev/null
  exit 1
fi

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Wine's debug lines and flasher-win's own output share standard error.
debug_line='^[0-9a-f]{4,}:(trace|warn|err|fixme):'
grep -aE "$debug_line" "$scratch/err" >"$scratch/trace"
grep -avE "$debug_line" "$scratch/err" >"$scratch/program_err"

# debugstr_w doubles every backslash.
unescape() { printf '%s' "${1//\\\\/\\}"; }

# check_attempt: the devices listed in one attempt and what it opened.
attempts=0
listed=() opens=() first_wins=()
check_attempt() {
  local id wins=() others=0 n=$attempts
  for id in "${listed[@]}"; do
    if [[ $id == "$win_id"* ]]; then
      wins+=("$id")
    elif [[ $id == "$other_id"* ]]; then
      others=$((others + 1))
    else
      fail "attempt $n: Wine lists a device that is not the case's: $id"
    fi
  done
  [ "${#wins[@]}" -eq "$win_count" ] && [ "$others" -eq "$other_count" ] ||
    fail "attempt $n: Wine lists ${#wins[@]} + $others devices, the case has $win_count + $other_count: ${listed[*]}"
  [ "$n" -eq 1 ] && first_wins=("${wins[@]}")
  if [ "$opened" = - ]; then
    [ "${#opens[@]}" -eq 0 ] || fail "attempt $n: opened ${opens[*]}, expected nothing"
    return
  fi
  local want_id=${wins[$((opened - 1))]:-}
  local want="\\\\.\\${want_id//\\/#}#{A5DCBF10-6530-11D2-901F-00C04FB951ED}"
  # CreateFileW's trace: the GENERIC_* access bits, the sharing, creation 3 =
  # OPEN_EXISTING, attributes 0x40000080 = FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL.
  local flags=' GENERIC_READ GENERIC_WRITE FILE_SHARE_READ FILE_SHARE_WRITE  creation 3 attributes 0x40000080'
  if [ "${#opens[@]}" -ne 1 ]; then
    fail "attempt $n: ${#opens[@]} device opens, expected one of $want"
  elif [ "${opens[0]}" != "$want$flags" ]; then
    fail "attempt $n: opened
  ${opens[0]}
expected (win device $opened of those listed: $want_id)
  $want$flags"
  fi
}

enum_call='(null) L"USB" 0000000000000000 0x00000006 0000000000000000 (null) 0000000000000000'
while IFS= read -r line; do
  if [[ $line =~ ^[0-9a-f]+:trace:setupapi:SetupDiGetClassDevsExW\ (.*)$ ]]; then
    [ "$attempts" -gt 0 ] && check_attempt
    attempts=$((attempts + 1))
    listed=() opens=()
    # No class, enumerator "USB", no window, DIGCF_PRESENT (2) | DIGCF_ALLCLASSES (4),
    # a new set, this machine.
    [ "${BASH_REMATCH[1]}" = "$enum_call" ] ||
      fail "attempt $attempts: SetupDiGetClassDevsExW ${BASH_REMATCH[1]}, expected $enum_call"
  elif [[ $line =~ ^[0-9a-f]+:trace:setupapi:create_device\ [0-9A-Fa-f]+,\ \{[^}]*\},\ L\"(.*)\",\ [01]$ ]]; then
    listed+=("$(unescape "${BASH_REMATCH[1]}")")
  elif [[ $line =~ ^[0-9a-f]+:trace:file:CreateFileW\ L\"(\\\\\\\\\.\\\\.*)\"(.*)$ ]]; then
    opens+=("$(unescape "${BASH_REMATCH[1]}")${BASH_REMATCH[2]}")
  fi
done <"$scratch/trace"
[ "$attempts" -gt 0 ] && check_attempt
[ "$attempts" -eq 4 ] || fail "$attempts enumerations in Wine's trace, expected one per attempt, 4"

status=$(cat "$scratch/status")
[ "$status" -eq 1 ] || fail "exit status $status, expected 1"

# What the probe foretold: flasher-win gives up at the device it opened (with
# Windows' own text for the error), or no device passes; exit status 1.
probe_text=$(tr -d '\r' <"$scratch/probe_out")
if [ "$opened" = - ]; then
  want_verdict="verdict: flasher-win would give up: no device passes"
else
  stop_id=${first_wins[$((opened - 1))]:-}
  want_verdict="verdict: flasher-win would give up: every attempt fails at $stop_id"
  line=$(grep -F "  $stop_id  " <<<"$probe_text")
  [[ $line =~ fails\ the\ attempt:\ cannot\ be\ opened\ \(Windows\ error\ [0-9]+:\ [^\)]+\)$ ]] ||
    fail "the probe's line for $stop_id: '$line'"
fi
[ "$(tail -n 1 <<<"$probe_text")" = "$want_verdict" ] ||
  fail "the probe foretold '$(tail -n 1 <<<"$probe_text")', expected '$want_verdict'"
[ "$(cat "$scratch/probe_status")" -eq 1 ] || fail "the probe's exit status $(cat "$scratch/probe_status"), expected 1"
[ -s "$scratch/out" ] && fail "standard output not empty: $(od -c "$scratch/out" | head -5)"
again=$'cannot open usb connection, trying again\r\n'
printf '%s' "$again$again$again$again"$'cannot open usb connection, giving up\r\n' >"$scratch/want_err"
if ! cmp -s "$scratch/want_err" "$scratch/program_err"; then
  fail "standard error (without Wine's debug lines) differs"
  echo "--- expected"; od -c "$scratch/want_err"
  echo "--- got"; od -c "$scratch/program_err"
fi

if [ "$failures" -ne 0 ]; then
  echo "--- the probe's report:"
  printf '%s\n' "$probe_text"
  echo "--- the calls in Wine's trace:"
  grep -aE 'SetupDiGetClassDevsExW|create_device .*L"|CM_Get_Device_IDA Returning|CreateFileW L"\\\\\\\\\.' "$scratch/trace"
  echo "--- flasher-vdev's account:"
  cat "$scratch/account"
  echo "$failures failure(s)"
  exit 1
fi
echo "ok: 4 attempts, each listing ${devices//+/, } and opening $([ "$opened" = - ] && echo nothing || echo "win device $opened of those listed")"
