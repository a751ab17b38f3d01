#!/usr/bin/env bash
# Measures what flasher costs above the bare libusb limit: flasher and
# flasher-bare flash the same 240-page image into the virtual device, in
# alternating order, for several rounds; the report gives medians and the
# ratio flasher / bare. See docs/performance.md for the method.
#
# Then flasher-gang: 1, 2, 4 and 8 virtual devices flashed at once, pauses
# real, against one device flashed by flasher alone. Then the station
# (flasher-gang --watch): from a board's arrival to its erase, and its CPU
# time while it waits with nothing plugged in.
#
# Environment: BENCH_ROUNDS (default 11), BENCH_SERVICE_US (per-transfer
# service time of the full-speed model, default 125), BENCH_BUILD (build
# directory, default build/bench), BENCH_CALLGRIND=0 to skip the instruction
# counts, BENCH_FLASHER to time another flasher binary against the same bare,
# BENCH_PARTS (default "flasher gang station database") to run only some parts,
# BENCH_GANG_ROUNDS (default 3) rounds of the gang part, BENCH_IDLE_SECONDS
# (default 60) of the station waiting with nothing plugged in.
#
# Then the record shipped to PostgreSQL (scripts/bench-db.sh): 10,000 lines
# that waited while the database was away, shipped once it returns;
# BENCH_DB_ROUNDS (default 3) rounds, BENCH_DB_BATCHES the batch sizes.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${BENCH_ROUNDS:-11}
service_us=${BENCH_SERVICE_US:-125}
build=${BENCH_BUILD:-build/bench}
callgrind=${BENCH_CALLGRIND:-1}
parts=" ${BENCH_PARTS:-flasher gang station database} "
idle_seconds=${BENCH_IDLE_SECONDS:-60}
gang_rounds=${BENCH_GANG_ROUNDS:-3}
db_rounds=${BENCH_DB_ROUNDS:-3}

scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFLASHER_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target flasher flasher-bare flasher-vdev flasher-measure \
    flasher-first-write frontend_bench flasher-probe flasher-gang record-ship >/dev/null

bin=$(cd "$build" && pwd)
flasher=${BENCH_FLASHER:-$bin/flasher}
bare=$bin/flasher-bare
for tool in "$bin/flasher-vdev" "$bin/flasher-measure" "$bin/flasher-first-write.so" "$flasher" "$bare"; do
    [ -e "$tool" ] || { echo "bench: $tool was not built" >&2; exit 1; }
done

work=$(mktemp -d /tmp/flasher-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

# 240 whole pages and a trailer after them: the most a run sends. The
# trailer is in the file but, the page limit being reached, not sent.
writes=$((1 + 2 + 240 * 33))
head -c $((11 + 240 * 2048 + 16)) /dev/urandom >"$work/full.bin"
# Start-up is timed on a short image: one page and a trailer.
head -c $((11 + 2048 + 16)) /dev/urandom >"$work/short.bin"

# run LABEL IMAGE SERVICE_US PROGRAM [MEASURE OPTIONS...]: one flash under the
# virtual device, which checks that the image arrived intact; the figures
# are appended to $work/LABEL.
run() {
    local label=$1 image=$2 service=$3 program=$4
    shift 4
    if ! "$bin/flasher-vdev" --fast-pauses --device "service-us=$service" \
        --expect-image "$image" --account "$work/account" -- \
        "$bin/flasher-measure" --out "$work/$label" "$@" -- "$program" "$image" \
        >"$work/stdout" 2>"$work/stderr"; then
        echo "bench: $label: the run failed or the device did not receive the image" >&2
        tail -n 5 "$work/stderr" "$work/account" >&2
        exit 1
    fi
}

# rounds LABEL IMAGE SERVICE_US [MEASURE OPTIONS...]: flasher and bare in
# turn, the one that starts swapping every round.
rounds() {
    local label=$1 image=$2 service=$3
    shift 3
    local r
    for ((r = 0; r < rounds; r++)); do
        if ((r % 2 == 0)); then
            run "$label.flasher" "$image" "$service" "$flasher" "$@"
            run "$label.bare" "$image" "$service" "$bare" "$@"
        else
            run "$label.bare" "$image" "$service" "$bare" "$@"
            run "$label.flasher" "$image" "$service" "$flasher" "$@"
        fi
    done
}

# median FILE KEY: median of KEY=VALUE over the lines of FILE.
median() {
    sed -n "s/.*\\b$2=\\(-\\?[0-9.]*\\).*/\\1/p" "$1" | sort -n |
        awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}

# table LABEL: medians of one scenario, flasher and bare, and their ratio.
table() {
    local f=$work/$1.flasher b=$work/$1.bare
    local fw bw fc bc fr br
    fw=$(median "$f" wall_us)
    bw=$(median "$b" wall_us)
    fc=$(median "$f" cpu_us)
    bc=$(median "$b" cpu_us)
    fr=$(median "$f" maxrss_kib)
    br=$(median "$b" maxrss_kib)
    awk -v fw="$fw" -v bw="$bw" -v fc="$fc" -v bc="$bc" -v fr="$fr" -v br="$br" -v n="$writes" '
        function ratio(a, b) { return b > 0 ? sprintf("%.3f", a / b) : "-" }
        BEGIN {
            print "| measure (median) | flasher | bare | flasher / bare |"
            print "|---|---|---|---|"
            printf "| wall time excl. pauses | %.3f s | %.3f s | %s |\n", fw / 1e6, bw / 1e6, ratio(fw, bw)
            printf "| CPU user+system | %.1f ms | %.1f ms | %s |\n", fc / 1e3, bc / 1e3, ratio(fc, bc)
            printf "| CPU per write | %.2f us | %.2f us | %s |\n", fc / n, bc / n, ratio(fc, bc)
            printf "| peak RSS | %d KiB | %d KiB | %s (%+d KiB) |\n", fr, br, ratio(fr, br), fr - br
        }'
    # Runs of one round are neighbours in time, so their ratio is less
    # exposed to the machine's load drifting than the medians are.
    paste -d' ' <(sed -n 's/.*wall_us=\([0-9]*\).*/\1/p' "$f") <(sed -n 's/.*wall_us=\([0-9]*\).*/\1/p' "$b") |
        awk '{printf "ratio=%.3f\n", $1 / $2}' >"$work/ratios"
    echo
    echo "Wall time flasher / bare per round: $(sed 's/ratio=//' "$work/ratios" | tr '\n' ' ')(median $(median "$work/ratios" ratio))"
}

# The parts that time flasher-gang and its station (gang_part, station_part).
. scripts/bench-gang.sh # (the working directory is the tree's root by now)
# The record shipped to PostgreSQL (database_part).
. scripts/bench-db.sh

echo "Machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), $(uname -sr)"
echo "Load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
flasher_part() {
echo "Rounds: $rounds per scenario; $writes bulk writes per run; wall time excludes the 4 s pause."
echo
echo "### Virtual device, no service time"
rounds fast "$work/full.bin" 0
table fast
echo
echo "### Virtual device, ${service_us} us per transfer (full-speed model)"
rounds fs "$work/full.bin" "$service_us"
table fs
echo
echo "### Start-up: exec to the first bulk write (device present)"
rounds startup "$work/short.bin" 0 --startup "$bin/flasher-first-write.so"
if grep -q 'startup_us=-1' "$work/startup.flasher" "$work/startup.bare"; then
    echo "bench: a run made no bulk write that the first-write shim saw" >&2
    exit 1
fi
fs=$(median "$work/startup.flasher" startup_us)
bs=$(median "$work/startup.bare" startup_us)
awk -v f="$fs" -v b="$bs" 'BEGIN {
    print "| flasher | bare | difference |"
    print "|---|---|---|"
    printf "| %.2f ms | %.2f ms | %+.2f ms |\n", f / 1e3, b / 1e3, (f - b) / 1e3
}'

if [ "$callgrind" != 0 ] && command -v valgrind >/dev/null; then
    echo
    echo "### Instructions (callgrind, whole process, one run each)"
    for who in flasher bare; do
        program=$flasher
        [ "$who" = bare ] && program=$bare
        "$bin/flasher-vdev" --fast-pauses --expect-image "$work/full.bin" --account "$work/account" -- \
            valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.$who" \
            "$program" "$work/full.bin" >/dev/null 2>&1 ||
            { echo "bench: callgrind run of $who failed" >&2; exit 1; }
    done
    fi_=$(sed -n 's/^summary: *\([0-9]*\).*/\1/p' "$work/callgrind.flasher")
    bi=$(sed -n 's/^summary: *\([0-9]*\).*/\1/p' "$work/callgrind.bare")
    awk -v f="$fi_" -v b="$bi" -v n="$writes" 'BEGIN {
        print "| flasher | bare | flasher / bare | difference per write |"
        print "|---|---|---|---|"
        printf "| %d | %d | %.3f | %+.1f |\n", f, b, f / b, (f - b) / n
    }'

    # Start-up in instructions: callgrind dumps its counts each time
    # libusb_bulk_transfer is entered, so the first dump holds everything
    # from exec to the first write.
    echo
    echo "### Start-up instructions (callgrind, exec to the first bulk write)"
    for who in flasher bare; do
        program=$flasher
        [ "$who" = bare ] && program=$bare
        mkdir -p "$work/startup-cg.$who"
        "$bin/flasher-vdev" --fast-pauses --expect-image "$work/short.bin" --account "$work/account" -- \
            valgrind --tool=callgrind --dump-before=libusb_bulk_transfer \
            --callgrind-out-file="$work/startup-cg.$who/out" "$program" "$work/short.bin" \
            >/dev/null 2>&1 || { echo "bench: callgrind start-up run of $who failed" >&2; exit 1; }
    done
    fi_=$(sed -n 's/^summary: *\([0-9]*\).*/\1/p' "$work/startup-cg.flasher/out.1")
    bi=$(sed -n 's/^summary: *\([0-9]*\).*/\1/p' "$work/startup-cg.bare/out.1")
    awk -v f="$fi_" -v b="$bi" 'BEGIN {
        print "| flasher | bare | flasher / bare | difference |"
        print "|---|---|---|---|"
        printf "| %d | %d | %.3f | %+d |\n", f, b, f / b, f - b
    }'
fi

echo
echo "### Front end alone over a null transport (Google Benchmark)"
"$bin/bench/frontend_bench" --benchmark_min_time=0.5 2>/dev/null
}

if [[ $parts == *" flasher "* ]]; then
    flasher_part
fi
if [[ $parts == *" gang "* ]]; then
    echo
    gang_part
fi
if [[ $parts == *" station "* ]]; then
    echo
    station_part
fi
if [[ $parts == *" database "* ]]; then
    echo
    database_part
fi

