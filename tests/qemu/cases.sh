# The rig's cases, run by /init inside the VM (busybox sh). Each case starts
# gadgets, runs the real flasher against them over dummy_hcd and compares
# flasher's exit status, stderr and stdout and each gadget's account with
# what the device protocol requires, line for line. The gang cases run
# flasher-probe and flasher-gang beside it and compare facts: statuses,
# the lines of the record, the gadgets' accounts.
. /rig/config.sh
F=/rig/flasher
G=/rig/flasher-gadget
GANG=/rig/flasher-gang
PROBE=/rig/flasher-probe
D=/rig/data
passed=0
failed=0
case_name=

say() { echo "rig: $*"; }

# --- controller --------------------------------------------------------------
# dummy_hcd's options are fixed at load time, so speed and the number of
# controllers change by reloading it (no gadget may be running then).
load_hcd() {
  rmmod dummy_hcd 2>/dev/null
  insmod /lib/rig-modules/dummy_hcd.ko "$@" || { say "cannot load dummy_hcd $*"; return 1; }
  n=0
  while [ ! -e /sys/class/udc/dummy_udc.0 ] && [ $n -lt 100 ]; do usleep 20000; n=$((n + 1)); done
}

# --- cases -------------------------------------------------------------------
begin() {
  rm -f /tmp/flasher.out /tmp/flasher.err /tmp/*.out /tmp/*.err /tmp/facts /tmp/case-failed
  flasher_status=none
  case_name=$1
  case_started=$(cut -d' ' -f1 /proc/uptime)
}

# A failure is marked in a file: checks at the end of a pipeline run in a
# subshell, where a variable set would be lost.
fail() {
  : >/tmp/case-failed
  echo "  $case_name: $*"
}

end() {
  local took
  took=$(awk -v a="$case_started" -v b="$(cut -d' ' -f1 /proc/uptime)" 'BEGIN { printf "%.1f", b - a }')
  if [ ! -e /tmp/case-failed ]; then
    passed=$((passed + 1))
    say "case $case_name: pass (${took} s)"
  else
    failed=$((failed + 1))
    say "case $case_name: FAIL (${took} s)"
  fi
}

# --- gadgets -----------------------------------------------------------------
# start_gadget TAG [options]: starts flasher-gadget in the background and
# waits until the host has configured it.
start_gadget() {
  local tag=$1 n=0
  shift
  # The background shell truncates the log only when it gets to run: clear
  # it first, or a ready line from an earlier gadget could be read.
  rm -f /tmp/$tag.out /tmp/$tag.err
  $G --name "$tag" "$@" >/tmp/$tag.out 2>/tmp/$tag.err &
  eval "pid_$tag=$!"
  while ! grep -q '^flasher-gadget: ready' /tmp/$tag.err 2>/dev/null; do
    if [ $n -ge 250 ] || ! kill -0 "$(eval echo \$pid_$tag)" 2>/dev/null; then
      fail "gadget $tag did not come up:"
      sed 's/^/    /' /tmp/$tag.err
      return 1
    fi
    usleep 20000
    n=$((n + 1))
  done
}

# stop_gadget TAG [STATUS]: stops it and checks its exit status (default 0).
stop_gadget() {
  local tag=$1 want=${2:-0} pid status
  pid=$(eval echo \$pid_$tag)
  kill -TERM "$pid" 2>/dev/null
  wait "$pid"
  status=$?
  [ "$status" = "$want" ] || fail "gadget $tag exit status $status, expected $want"
}

# wait_gadget TAG [STATUS]: waits for a gadget that ends by itself.
wait_gadget() {
  local tag=$1 want=${2:-0} pid status
  pid=$(eval echo \$pid_$tag)
  wait "$pid"
  status=$?
  [ "$status" = "$want" ] || fail "gadget $tag exit status $status, expected $want"
}

# wait_until SECONDS COMMAND...: runs the command every 0.1 s until it
# succeeds; status 1 if it never does.
wait_until() {
  local n=0 limit=$(($1 * 10))
  shift
  until "$@"; do
    [ $n -ge $limit ] && return 1
    usleep 100000
    n=$((n + 1))
  done
}

# --- flasher -----------------------------------------------------------------
# run_flasher ARGS...: runs flasher, keeping its status, stdout and stderr.
run_flasher() {
  $F "$@" >/tmp/flasher.out 2>/tmp/flasher.err
  flasher_status=$?
}

# same WHAT FILE: compares FILE with the expected text on stdin.
same() {
  local what=$1 file=$2
  cat >/tmp/expected
  if ! cmp -s /tmp/expected "$file"; then
    fail "$what differs:"
    diff -U2 /tmp/expected "$file" 2>&1 | head -40 | sed 's/^/    /'
  fi
}

expect_status() {
  [ "$flasher_status" = "$1" ] || fail "flasher exit status $flasher_status, expected $1"
}
expect_stderr() { same "flasher stderr" /tmp/flasher.err; }
expect_stdout() { same "flasher stdout" /tmp/flasher.out; }
expect_account() { same "account of gadget $1" /tmp/$1.out; }
expect_gadget_log() { same "log of gadget $1" /tmp/$1.err; }

# page_lines FIRST LAST: flasher's progress lines for those pages.
page_lines() {
  local i=$1
  while [ "$i" -le "$2" ]; do
    printf 'page: %-3d\n' "$i"
    i=$((i + 1))
  done
}

# hex FILE OFFSET COUNT: the bytes as the account prints them ("0A 1B ...").
hex() {
  od -An -v -tx1 -j"$2" -N"$3" "$1" | tr 'a-f\n' 'A-F ' | tr -s ' ' | sed 's/^ //; s/ $//'
}

continuing_erased() { printf 'continuing with flashing\nerased\n'; }
giving_up() {
  printf 'cannot open usb connection, trying again\n%.0s' 1 2 3 4
  printf 'cannot open usb connection, giving up\n'
}
ready() { echo "flasher-gadget: ready on $1 as $VID:$PID serial $2, $3"; }

FW3_HEADER=$(hex $D/fw3.bin 0 11)
FW3_TRAILER=$(hex $D/fw3.bin $((11 + 3 * 2048)) 16)

# fw3_intact TAG ERASE CODE: the account of fw3.bin received whole, after an
# erase message shown as ERASE ("erase" or "erase all") with CODE (E1, E2).
fw3_intact() {
  expect_account "$1" <<OUT
transfers: 103, bytes taken: 6184
#0     $2 $3, header $FW3_HEADER
       pause 4 s
#1     zero byte
#2     zero byte
#3     pages 0-2 (3 pages)
#102   trailer $FW3_TRAILER
protocol: followed
received what $D/fw3.bin puts on the wire: erase $3, 3 pages, trailer
OUT
}

# ============================================================================
say "cases start; kernel $(uname -r)"
load_hcd || exit 1

begin no_device
run_flasher erase
expect_status 1
giving_up | expect_stderr
expect_stdout </dev/null
end

begin os_descriptors
start_gadget g0 && {
  /rig/os_desc_check "$VID" "$PID" >/tmp/os.out 2>&1
  same "descriptors read by the host" /tmp/os.out <<'OUT'
interface 0: class 0xff, 2 endpoints
endpoint 0x02: OUT, type 2, 512-byte packets
endpoint 0x81: IN, type 2, 512-byte packets
os string: length 18 type 3 signature MSFT100 vendor code 0xcd
compat id: length 40 version 0x0100 index 4 sections 1
compat id: interface 0 compatible "WINUSB" sub ""
OUT
  stop_gadget g0
}
start_gadget g0 --no-os-desc && {
  /rig/os_desc_check "$VID" "$PID" >/tmp/os.out 2>&1
  same "descriptors read by the host without OS descriptors" /tmp/os.out <<'OUT'
interface 0: class 0xff, 2 endpoints
endpoint 0x02: OUT, type 2, 512-byte packets
endpoint 0x81: IN, type 2, 512-byte packets
os string: none (LIBUSB_ERROR_PIPE)
OUT
  stop_gadget g0
}
end

begin erase
start_gadget g0 --json && {
  run_flasher erase
  stop_gadget g0
}
expect_status 0
continuing_erased | expect_stderr
expect_stdout <<'OUT'
Path: 1-1
string desc 11 FLASHER0001
OUT
expect_account g0 <<OUT
{"transfers":3,"bytes_taken":14,"follows_protocol":true,"messages":[{"kind":"erase","transfer":0,"code":"E1","header":"0000000000000000000000","outcome":"completed","length":12,"taken":12},{"kind":"pause","seconds":4},{"kind":"zero_byte","transfer":1,"outcome":"completed","length":1,"taken":1},{"kind":"zero_byte","transfer":2,"outcome":"completed","length":1,"taken":1}],"problems":[]}
OUT
end

begin params
start_gadget g0 --expect $D/params.bin && {
  run_flasher $D/params.bin all
  stop_gadget g0
}
expect_status 0
expect_stderr </dev/null
expect_stdout <<'OUT'
Path: 1-1
string desc 11 FLASHER0001
OUT
expect_account g0 <<OUT
transfers: 2, bytes taken: 257
#0     parameter announcement E8
#1     parameter block, 256 bytes
protocol: followed
received what $D/params.bin puts on the wire: parameter block
OUT
end

# Erase-all, selection by serial, and a device that takes nothing for 0.4 s
# in mid-page: slower than usual but within the 1 s time-out.
begin firmware_all_serial_slow
start_gadget g0 --serial SN-77 --expect $D/fw3.bin --pause-at 20 --pause-ms 400 && {
  run_flasher $D/fw3.bin all SN-77
  stop_gadget g0
}
expect_status 0
{ continuing_erased; page_lines 0 2; } | expect_stderr
expect_stdout <<'OUT'
Path: 1-1
string desc 5 SN-77
OUT
fw3_intact g0 "erase all" E2
{ ready dummy_udc.0 SN-77 "high speed"
  echo "flasher-gadget: taking nothing for 400 ms after 20 transfers"; } | expect_gadget_log g0
end

# Two runs against one device: the first holds interface 0, so the second,
# started in the first's pause after the erase, is refused at its first
# write (usbfs cannot claim the interface for it) and nothing of it arrives.
begin two_runs_one_device
first_status=none
start_gadget g0 --expect $D/fw3.bin && {
  $F $D/fw3.bin >/tmp/first.out 2>/tmp/first.err &
  first=$!
  n=0
  while ! grep -qx erased /tmp/first.err 2>/dev/null && [ $n -lt 250 ]; do usleep 20000; n=$((n + 1)); done
  run_flasher $D/fw3.bin
  wait $first
  first_status=$?
  stop_gadget g0
}
expect_status 1
{ continuing_erased; echo 'erase error'; } | expect_stderr
expect_stdout <<'OUT'
Path: 1-1
string desc 11 FLASHER0001
OUT
[ "$first_status" = 0 ] || fail "first flasher exit status $first_status, expected 0"
{ continuing_erased; page_lines 0 2; } | same "first flasher stderr" /tmp/first.err
same "first flasher stdout" /tmp/first.out </tmp/flasher.out
fw3_intact g0 erase E1
end

begin stall_erase
start_gadget g0 --stall-at 0 && {
  run_flasher erase
  stop_gadget g0
}
expect_status 1
{ continuing_erased; echo 'erase error'; } | expect_stderr
expect_account g0 <<'OUT'
transfers: 0, bytes taken: 0
protocol: followed
OUT
end

begin stall_params
start_gadget g0 --stall-at 1 && {
  run_flasher $D/params.bin
  stop_gadget g0
}
expect_status 1
echo 'error writing parameters' | expect_stderr
expect_account g0 <<'OUT'
transfers: 1, bytes taken: 1
#0     parameter announcement E8
protocol broken at #1: parameter announcement without a block
OUT
{ ready dummy_udc.0 FLASHER0001 "high speed"
  echo "flasher-gadget: halted the OUT endpoint after 1 transfers"; } | expect_gadget_log g0
end

# The device stops taking data for longer than the host's 1 s time-out: the
# host gives up, and the cancelled transfer never reaches the device, even
# after it takes data again.
begin timeout_params
start_gadget g0 --pause-at 1 --pause-ms 1500 && {
  run_flasher $D/params.bin
  sleep 1
  stop_gadget g0
}
expect_status 1
echo 'error writing parameters' | expect_stderr
expect_account g0 <<'OUT'
transfers: 1, bytes taken: 1
#0     parameter announcement E8
protocol broken at #1: parameter announcement without a block
OUT
end

begin timeout_page
start_gadget g0 --pause-at 9 --pause-ms 1500 && {
  run_flasher $D/fw3.bin
  sleep 1
  stop_gadget g0
}
expect_status 1
{ continuing_erased; echo 'error during flashing'; } | expect_stderr
expect_account g0 <<OUT
transfers: 9, bytes taken: 337
#0     erase E1, header $FW3_HEADER
       pause 4 s
#1     zero byte
#2     zero byte
#3     page 0: 5 of 32 chunks
protocol broken at #3: page 0 has 5 of 32 chunks
OUT
end

# The device disappears from the bus in mid-page (its controller unbound).
begin unplugged
start_gadget g0 --vanish-at 40 && {
  run_flasher $D/fw3.bin
  wait_gadget g0
}
expect_status 1
{ continuing_erased; page_lines 0 0; echo 'error during flashing'; } | expect_stderr
expect_account g0 <<OUT
transfers: 40, bytes taken: 2260
#0     erase E1, header $FW3_HEADER
       pause 4 s
#1     zero byte
#2     zero byte
#3     page 0
#36    page 1: 3 of 32 chunks
protocol broken at #36: page 1 has 3 of 32 chunks
OUT
end

# The gadget judges what arrived: a file that was not sent makes it exit 1.
begin gadget_expects_other_file
start_gadget g0 --expect $D/fw3.bin && {
  run_flasher $D/params.bin
  stop_gadget g0 1
}
expect_status 0
expect_account g0 <<OUT
transfers: 2, bytes taken: 257
#0     parameter announcement E8
#1     parameter block, 256 bytes
protocol: followed
differs from $D/fw3.bin:
#0: erase message is 1 bytes, expected 12
#1: first zero byte is 256 bytes, expected 1
missing from #2 on: second zero byte and 100 more transfers
OUT
end

# A controller that does not exist: the gadget says so, exits 1 and leaves
# nothing behind in configfs, so the same name can be used again at once.
begin gadget_bad_controller
$G --name g0 --udc dummy_udc.9 >/tmp/g0.out 2>/tmp/g0.err
status=$?
[ "$status" = 1 ] || fail "gadget exit status $status, expected 1"
# The errno text depends on the kernel version (ENODEV or EBUSY).
grep -q '^flasher-gadget: write /sys/kernel/config/usb_gadget/g0/UDC: ' /tmp/g0.err ||
  fail "gadget g0 did not report the refused controller: $(cat /tmp/g0.err)"
[ -e /sys/kernel/config/usb_gadget/g0 ] && fail "gadget g0 left its configfs directory"
[ -e /dev/ffs-g0 ] && fail "gadget g0 left its FunctionFS mount point"
start_gadget g0 && stop_gadget g0
end

full_image() {
  local speed=$1
  start_gadget g0 --expect $D/fw240.bin && {
    run_flasher $D/fw240.bin
    stop_gadget g0
  }
  expect_status 0
  { continuing_erased; page_lines 0 239; } | expect_stderr
  expect_account g0 <<OUT
transfers: 7923, bytes taken: 492254
#0     erase E1, header $(hex $D/fw240.bin 0 11)
       pause 4 s
#1     zero byte
#2     zero byte
#3     pages 0-239 (240 pages)
protocol: followed
received what $D/fw240.bin puts on the wire: erase E1, 240 pages
not sent from $D/fw240.bin: the 16-byte trailer (none goes out after 240 pages)
OUT
  ready dummy_udc.0 FLASHER0001 "$speed" | expect_gadget_log g0
}

begin full_image_high_speed
full_image "high speed"
end

# ============================================================================
# Two devices at once, on two controllers: A at usb path 1-1, B at 2-1.
# libusb lists the later bus first, so flasher meets B before A; selecting
# A shows B being looked at and passed over.
load_hcd num=2 || exit 1

two_gadgets() {
  start_gadget ga --udc dummy_udc.0 --serial SN-A --expect $D/params.bin &&
    start_gadget gb --udc dummy_udc.1 --serial SN-B
}
only_a_received() {
  expect_account ga <<OUT
transfers: 2, bytes taken: 257
#0     parameter announcement E8
#1     parameter block, 256 bytes
protocol: followed
received what $D/params.bin puts on the wire: parameter block
OUT
  expect_account gb <<'OUT'
transfers: 0, bytes taken: 0
protocol: followed
OUT
}

begin two_devices_by_serial
two_gadgets && {
  run_flasher $D/params.bin SN-A
  stop_gadget ga
  stop_gadget gb
}
expect_status 0
expect_stderr </dev/null
expect_stdout <<'OUT'
Path: 2-1
string desc 4 SN-B
Path: 1-1
string desc 4 SN-A
OUT
only_a_received
end

begin two_devices_by_path
two_gadgets && {
  export FLASHER_USBPATH=1-1
  run_flasher $D/params.bin
  unset FLASHER_USBPATH
  stop_gadget ga
  stop_gadget gb
}
expect_status 0
expect_stderr </dev/null
expect_stdout <<'OUT'
Path: 2-1
Path: 1-1
string desc 4 SN-A
OUT
only_a_received
end

# --- flasher-gang ------------------------------------------------------------
# The record is compact JSON Lines and the VM has no jq: the facts of each
# line (usb path, plug-in, serial, result, reason, flasher's last line) are
# cut out with sed and sorted, since boards flashed at once end in any order.
record_facts() {
  sed -n 's/.*"usb_path":"\([^"]*\)","plug_in":\([^,]*\),"serial":\([^,]*\),.*"result":"\([^"]*\)","reason":\(null\|"[^"]*"\),.*"last_line":\(null\|"[^"]*"\),"seconds".*/\1 \2 \3 \4 \5 \6/p' "$1" | sort
}
records_are() { [ "$(grep -c '"result":' "$1" 2>/dev/null)" = "$2" ]; }
# ok_records_took_fw3 FILE: each ok line says, from flasher's events over the
# real bus, that the board took fw3.bin's every message whole.
FW3_TAKEN='"taken":{"messages":103,"erase":true,"zero_bytes":[true,true],"pages":3,"trailer":true,"params":null}'
ok_records_took_fw3() {
  [ "$(grep '"result":"ok"' "$1" | grep -cvF "$FW3_TAKEN")" = 0 ] ||
    fail "an ok line of $1 does not say the board took fw3.bin whole"
}
# every_record_has FILE TEXT: each line of the record holds TEXT.
every_record_has() {
  [ "$(grep -cF "$2" "$1")" = "$(wc -l <"$1")" ] || fail "not every line of $1 has $2"
}
FW3_SHA=$(sha256sum $D/fw3.bin | cut -d' ' -f1)
BUSY='busy: interface 0 is held by another program (usbfs)'

# A holds interface 0 of B (2-1) in its pause after the erase: the probe
# and the gang call B busy, the gang flashes A (1-1) and fails, and B gets
# the holder's image only.
begin gang_busy
probe_status=none gang_status=none holder_status=none
start_gadget ga --udc dummy_udc.0 --serial SN-A --expect $D/fw3.bin &&
  start_gadget gb --udc dummy_udc.1 --serial SN-B --expect $D/fw3.bin && {
  FLASHER_USBPATH=2-1 $F $D/fw3.bin >/tmp/holder.out 2>/tmp/holder.err &
  holder=$!
  wait_until 10 grep -qx erased /tmp/holder.err || fail "the holding flasher did not erase"
  $PROBE $D/fw3.bin >/tmp/probe.out 2>&1
  probe_status=$?
  $GANG --record /tmp/busy.jsonl --logs /tmp/gang-logs $D/fw3.bin >/tmp/gang.out 2>/tmp/gang.err
  gang_status=$?
  wait $holder
  holder_status=$?
  stop_gadget ga
  stop_gadget gb
}
[ "$probe_status" = 1 ] || fail "probe exit status $probe_status, expected 1"
grep '^  2-1 ' /tmp/probe.out | grep -qF "$BUSY" ||
  fail "the probe did not call 2-1 busy: $(cat /tmp/probe.out)"
[ "$gang_status" = 1 ] || fail "gang exit status $gang_status, expected 1"
[ "$holder_status" = 0 ] || fail "holding flasher exit status $holder_status, expected 0"
record_facts /tmp/busy.jsonl >/tmp/facts
same "the gang's record" /tmp/facts <<OUT
1-1 null "SN-A" ok null "page: 2"
2-1 null "SN-B" not flashed "$BUSY" null
OUT
ok_records_took_fw3 /tmp/busy.jsonl
fw3_intact ga erase E1
fw3_intact gb erase E1
end

# A station: one flasher-gang --watch while boards come and go, binding and
# unbinding their controllers. A and B are plugged in and flashed at once;
# A is unplugged, plugged in again and flashed again; B, left plugged in,
# is not flashed again. The gang hears of each through libusb's hotplug
# events, which Debian's libusb takes from udev's daemon.
begin gang_watch
gang_status=none
/lib/systemd/systemd-udevd --daemon 2>/tmp/udevd.err &&
  wait_until 5 test -S /run/udev/control || fail "udevd did not start: $(cat /tmp/udevd.err)"
$GANG --watch --record /tmp/watch.jsonl --logs /tmp/gang-logs $D/fw3.bin >/tmp/gang.out 2>/tmp/gang.err &
gang=$!
wait_until 10 grep -q '^flasher-gang: waiting' /tmp/gang.out || fail "the gang is not waiting"
start_gadget ga --udc dummy_udc.0 --serial SN-A --expect $D/fw3.bin &&
  start_gadget gb --udc dummy_udc.1 --serial SN-B --expect $D/fw3.bin && {
  wait_until 60 records_are /tmp/watch.jsonl 2 || fail "A and B were not both flashed"
  kill -USR1 "$pid_ga"
  wait_until 10 test ! -e /sys/bus/usb/devices/1-1 || fail "A did not leave the bus"
  kill -USR2 "$pid_ga"
  wait_until 60 records_are /tmp/watch.jsonl 3 || fail "A was not flashed again"
}
kill -TERM $gang
wait $gang
gang_status=$?
[ "$gang_status" = 0 ] || fail "gang exit status $gang_status, expected 0"
stop_gadget ga
stop_gadget gb
udevadm control --exit
record_facts /tmp/watch.jsonl >/tmp/facts
same "the gang's record" /tmp/facts <<'OUT'
1-1 1 "SN-A" ok null "page: 2"
1-1 2 "SN-A" ok null "page: 2"
2-1 1 "SN-B" ok null "page: 2"
OUT
every_record_has /tmp/watch.jsonl "\"sha256\":\"$FW3_SHA\""
ok_records_took_fw3 /tmp/watch.jsonl
grep -E '^(plug-in|  transfers:|  received what)' /tmp/ga.out >/tmp/facts
same "account of gadget ga" /tmp/facts <<OUT
plug-in 1:
  transfers: 103, bytes taken: 6184
  received what $D/fw3.bin puts on the wire: erase E1, 3 pages, trailer
plug-in 2:
  transfers: 103, bytes taken: 6184
  received what $D/fw3.bin puts on the wire: erase E1, 3 pages, trailer
OUT
fw3_intact gb erase E1
end

# ============================================================================
# Full speed: 64-byte packets, so the gadget reads a packet at a time.
load_hcd is_high_speed=0 || exit 1

begin params_full_speed
start_gadget g0 --expect $D/params.bin && {
  /rig/os_desc_check "$VID" "$PID" >/tmp/os.out 2>&1
  run_flasher $D/params.bin
  stop_gadget g0
}
same "descriptors read by the host at full speed" /tmp/os.out <<'OUT'
interface 0: class 0xff, 2 endpoints
endpoint 0x02: OUT, type 2, 64-byte packets
endpoint 0x81: IN, type 2, 64-byte packets
os string: length 18 type 3 signature MSFT100 vendor code 0xcd
compat id: length 40 version 0x0100 index 4 sections 1
compat id: interface 0 compatible "WINUSB" sub ""
OUT
expect_status 0
expect_stderr </dev/null
expect_account g0 <<OUT
transfers: 2, bytes taken: 257
#0     parameter announcement E8
#1     parameter block, 256 bytes
protocol: followed
received what $D/params.bin puts on the wire: parameter block
OUT
ready dummy_udc.0 FLASHER0001 "full speed" | expect_gadget_log g0
end

begin full_image_full_speed
full_image "full speed"
end

say "$passed passed, $failed failed"
[ "$failed" = 0 ]
