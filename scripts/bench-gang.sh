# Sourced by scripts/bench.sh: the parts that time flasher-gang (against a
# plain loop of pinned flashers, and on 1 to 8 devices) and its station
# (--watch: arrival to erase, and waiting). They use bench.sh's $bin, $work,
# $gang_rounds, $idle_seconds and median().
# shellcheck shell=bash

# ---- flasher-gang ------------------------------------------------------------

# gang_run FILE DEVICES IMAGE PROGRAM...: one flash of DEVICES virtual
# devices, pauses real; appends the wall time and the CPU time of every
# process (the virtual device's included) in ms to FILE, or fails unless
# every device received the whole image and followed the protocol.
gang_run() {
    local file=$1 devices=$2 image=$3
    shift 3
    local specs=() i TIMEFORMAT='%3R %3U %3S' real user sys
    for ((i = 0; i < devices; i++)); do specs+=(--device service-us=0); done
    rm -rf "$work/logs"
    { time "$bin/flasher-vdev" "${specs[@]}" --account "$work/account" -- "$@" "$image" \
        >"$work/stdout" 2>"$work/stderr"; } 2>"$work/time" ||
        { echo "bench: $* on $devices devices failed" >&2; tail -n 12 "$work/stdout" "$work/stderr" >&2; exit 1; }
    # Whole pages, at most 240, and the trailer after fewer.
    local pages=$((($(stat -c %s "$image") - 11) / 2048)) writes
    ((pages > 240)) && pages=240
    writes=$((3 + pages * 33 + (pages < 240 ? 1 : 0)))
    if [ "$(grep -c "^  transfers: $writes, " "$work/account")" != "$devices" ] ||
        [ "$(grep -c '^  protocol: followed$' "$work/account")" != "$devices" ]; then
        echo "bench: $* on $devices devices: not every device received the image" >&2
        cat "$work/account" >&2
        exit 1
    fi
    read -r real user sys <"$work/time"
    awk -v r="$real" -v u="$user" -v s="$sys" 'BEGIN { printf "ms=%d cpu=%d\n", r * 1000, (u + s) * 1000 }' >>"$file"
}

# A plain parallel loop, the floor for the gang: one flasher per device,
# pinned, started at once, then wait. Arguments: N, flasher, the image.
loop_script='for ((i = 1; i <= $1; i++)); do
    FLASHER_USBPATH=1-$i "$2" "$3" >/dev/null 2>&1 &
done
wait'

# gang_table PAGES: flasher alone on one device, then the gang on 1, 2, 4, 8
# and the plain loop on 8, in turn each round; medians and the ratio of the
# wall time to flasher alone's.
gang_table() {
    local pages=$1 image=$work/gang$1.bin n r
    head -c $((11 + pages * 2048 + 16)) /dev/urandom >"$image"
    for ((r = 0; r < gang_rounds; r++)); do
        gang_run "$work/gang$pages.alone" 1 "$image" "$bin/flasher"
        for n in 1 2 4 8; do
            gang_run "$work/gang$pages.$n" "$n" "$image" "$gang" --logs "$work/logs"
        done
        gang_run "$work/gang$pages.loop" 8 "$image" bash -c "$loop_script" loop 8 "$bin/flasher"
    done
    local alone
    alone=$(median "$work/gang$pages.alone" ms)
    echo "| devices | program | wall time (median) | / flasher alone | CPU, all processes |"
    echo "|---|---|---|---|---|"
    for row in "1 flasher alone" "1 flasher-gang 1" "2 flasher-gang 2" "4 flasher-gang 4" \
        "8 flasher-gang 8" "8 plain-loop loop"; do
        read -r n who which <<<"$row"
        awk -v m="$(median "$work/gang$pages.$which" ms)" -v c="$(median "$work/gang$pages.$which" cpu)" \
            -v a="$alone" -v n="$n" -v who="$who" \
            'BEGIN { printf "| %d | %s | %.2f s | %.2f | %.2f s |\n", n, who, m / 1000, m / a, c / 1000 }'
    done
}

# measured_run FILE IMAGE DEVICES PROGRAM...: PROGRAM under flasher-measure
# on DEVICES virtual devices, pauses real; every device must receive the
# whole image. Appends flasher-measure's line (wall time from exec to exit,
# the program's own CPU time and its children's) to FILE.
measured_run() {
    local file=$1 image=$2 devices=$3
    shift 3
    local specs=() i
    for ((i = 0; i < devices; i++)); do specs+=(--device service-us=0); done
    rm -rf "$work/logs"
    "$bin/flasher-vdev" "${specs[@]}" --account "$work/account" -- \
        "$bin/flasher-measure" --out "$file" -- "$@" >"$work/stdout" 2>"$work/stderr" ||
        { echo "bench: $* on $devices devices failed" >&2; tail -n 12 "$work/stdout" "$work/stderr" >&2; exit 1; }
    local writes=$((3 + $(((($(stat -c %s "$image") - 11) / 2048))) * 33 + 1))
    if [ "$(grep -c "^  transfers: $writes, " "$work/account")" != "$devices" ]; then
        echo "bench: $* on $devices devices: not every device received the image" >&2
        exit 1
    fi
}

# sum FILE KEY: the sum of KEY=VALUE over the lines of FILE.
sum() {
    sed -n "s/.*\b$2=\([0-9]*\).*/\1/p" "$1" | awk '{ s += $1 } END { print s + 0 }'
}

# The gang against a plain parallel loop of pinned flashers, 8 devices, a
# 16-page image, pauses real, in turn each round (the one that starts
# swapping): wall times, and the CPU time of the supervisor itself against
# that of the flashers it ran. /proc counts CPU time in ticks of 10 ms, so
# the shares are sums over every round.
gang_vs_loop() {
    local image=$work/gang16.bin r
    head -c $((11 + 16 * 2048 + 16)) /dev/urandom >"$image"
    : >"$work/vs.gang"
    : >"$work/vs.loop"
    for ((r = 0; r < gang_rounds; r++)); do
        local order=(gang loop)
        ((r % 2 == 1)) && order=(loop gang)
        for who in "${order[@]}"; do
            if [ "$who" = gang ]; then
                measured_run "$work/vs.gang" "$image" 8 "$gang" --quiet --logs "$work/logs" "$image"
            else
                measured_run "$work/vs.loop" "$image" 8 bash -c "$loop_script" loop 8 "$bin/flasher" "$image"
            fi
        done
    done
    paste -d' ' <(sed -n 's/.*wall_us=\([0-9]*\).*/\1/p' "$work/vs.gang") \
        <(sed -n 's/.*wall_us=\([0-9]*\).*/\1/p' "$work/vs.loop") |
        awk '{ printf "ratio=%.3f\n", $1 / $2 }' >"$work/vs.ratios"
    awk -v g="$(median "$work/vs.gang" wall_us)" -v l="$(median "$work/vs.loop" wall_us)" \
        -v r="$(median "$work/vs.ratios" ratio)" \
        -v gs="$(sum "$work/vs.gang" self_cpu_us)" -v gc="$(sum "$work/vs.gang" children_cpu_us)" \
        -v ls="$(sum "$work/vs.loop" self_cpu_us)" -v lc="$(sum "$work/vs.loop" children_cpu_us)" '
        BEGIN {
            print "| program | wall time (median) | its own CPU | its flashers CPU | own / flashers |"
            print "|---|---|---|---|---|"
            printf "| flasher-gang | %.3f s | %.2f s | %.2f s | %.1f %% |\n", g / 1e6, gs / 1e6, gc / 1e6, gc ? 100 * gs / gc : 0
            printf "| plain loop (bash) | %.3f s | %.2f s | %.2f s | %.1f %% |\n", l / 1e6, ls / 1e6, lc / 1e6, lc ? 100 * ls / lc : 0
            printf "\nWall time gang / loop: %.3f (ratio of medians), %.3f (median of the rounds ratios)\n", g / l, r
        }'
}

gang_part() {
    gang=$bin/flasher-gang
    echo "### flasher-gang against a plain loop: 8 devices, 16 pages, pauses real ($gang_rounds rounds)"
    echo
    gang_vs_loop
    echo
    echo "### flasher-gang: devices flashed at once, pauses real ($gang_rounds rounds)"
    echo
    echo "16 pages and a trailer:"
    echo
    gang_table 16
    echo
    echo "240 pages:"
    echo
    gang_table 240
}

# ---- flasher-gang --watch ------------------------------------------------------

# Plug-to-erase: two ports, 12 plug-ins each, a board every 0.6 s per port;
# flasher-vdev tells, per plug-in, the time from its "add" uevent to the
# first transfer it received (the erase message). Fast pauses: the pause
# comes after the erase and changes nothing here.
station_latency() {
    local image=$work/station.bin specs=() port k
    head -c $((11 + 2 * 2048 + 16)) /dev/urandom >"$image"
    for port in 0 1; do
        local spec="service-us=0"
        for ((k = 0; k < 12; k++)); do
            spec+=$(awk -v k="$k" -v p="$port" \
                'BEGIN { a = 0.5 + k * 0.6 + p * 0.3; printf ",arrive=%.3f,leave=%.3f", a, a + 0.4 }')
        done
        specs+=(--device "$spec")
    done
    "$bin/flasher-vdev" --fast-pauses --json --check-each --expect-image "$image" \
        "${specs[@]}" --account "$work/station.json" -- \
        bash -c '"$@" & g=$!; sleep 8.5; kill -TERM $g; wait $g' station \
        "$gang" --watch --quiet --logs "$work/logs" "$image" >"$work/stdout" 2>"$work/stderr" ||
        { echo "bench: the station run failed" >&2; tail -n 12 "$work/stdout" "$work/stderr" >&2; exit 1; }
    jq -r '[.devices[].plug_ins[] | .first_transfer_after_ms // empty] | sort
        | "| \(length) | \(.[length / 2 | floor]) ms | \(max) ms |"' "$work/station.json" |
        { echo "| plug-ins with an erase | arrival to erase, median | maximum |"
          echo "|---|---|---|"; cat; }
    echo
    echo "Flashed whole: $(jq '[.devices[].plug_ins[] | select(.check.result == "intact")] | length' \
        "$work/station.json") plug-ins."
}

# Waiting: the station with nothing plugged in for BENCH_IDLE_SECONDS; its
# CPU time (through timeout, flasher-measure's child) over the wall time.
station_idle() {
    "$bin/flasher-vdev" --device arrive=100000 --account /dev/null -- \
        "$bin/flasher-measure" --out "$work/idle" -- timeout -s TERM "$idle_seconds" \
        "$gang" --watch --quiet --logs "$work/logs" "$work/station.bin" >/dev/null 2>&1 || true
    awk -F'[ =]' '{ for (i = 1; i < NF; i++) v[$i] = $(i + 1) }
        END { printf "| %.0f s | %.2f s | %.3f %% of a core |\n", v["wall_us"] / 1e6,
              v["children_cpu_us"] / 1e6, 100 * v["children_cpu_us"] / v["wall_us"] }' "$work/idle"
}

station_part() {
    gang=$bin/flasher-gang
    echo "### flasher-gang --watch: from a board's arrival to its erase"
    echo
    station_latency
    echo
    echo "### flasher-gang --watch: waiting with nothing plugged in"
    echo
    echo "| wall time | its CPU time | share |"
    echo "|---|---|---|"
    station_idle
}
