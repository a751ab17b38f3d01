# Sourced by scripts/bench.sh: the record shipped to PostgreSQL
# (--record-db's shipper, driven by record-ship). 10,000 record lines wait
# while the database is away; the server is started and the time until the
# last is acknowledged is taken, with the shipper's CPU time, for several
# batch sizes; then the same lines shipped with the database there from the
# start. Then flasher-gang itself with --record-db: a station's arrival to
# erase with --skip-done against the same with a file record, the gang's own
# CPU while it ships, and a station shipping the waiting lines. A throwaway
# server on a Unix socket in $work, as the tests start one (as "nobody" when
# run as root). It uses bench.sh's $bin, $work, $db_rounds and median(), and
# bench-gang.sh's measured_run() and sum().
# shellcheck shell=bash

db_lines=${BENCH_DB_LINES:-10000}
db_batches=${BENCH_DB_BATCHES:-"100 1000 5000"}

# pg_as_owner COMMAND...: the server's programs, never as root.
pg_as_owner() {
    if [ "$(id -u)" = 0 ]; then runuser -u nobody -- "$@"; else "$@"; fi
}

pg_bin() {
    local d
    for d in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r); do
        [ -x "$d/initdb" ] && { echo "$d"; return; }
    done
    echo "bench: no PostgreSQL server programs (Debian: postgresql)" >&2
    exit 1
}

db_start() {
    pg_as_owner "$pgbin/pg_ctl" -D "$pgdir/data" -l "$pgdir/log" -w -s \
        -o "-c listen_addresses='' -c unix_socket_directories='$pgdir'" start
}

# db_stop [MODE]: fast (default) or immediate.
db_stop() {
    pg_as_owner "$pgbin/pg_ctl" -D "$pgdir/data" -m "${1:-fast}" -w -s stop
}

# db_lines_file FILE N: N record lines of schema 2, as the gang writes them.
db_lines_file() {
    awk -v n="$2" 'BEGIN {
        for (i = 1; i <= n; i++)
            printf "{\"schema\":2,\"run\":\"20261208T150102.345Z-%d\",\"station\":\"line-3\",\"host\":\"line-3\",\"start\":\"2026-12-08T15:01:02.345Z\",\"end\":\"2026-12-08T15:01:09.001Z\",\"usb_path\":\"1-1.%d\",\"plug_in\":%d,\"serial\":\"SN%06d\",\"mode\":\"firmware\",\"erase_all\":false,\"image\":{\"given\":\"img.bin\",\"size\":6187,\"sha256\":\"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08\"},\"plan\":{\"pages\":3,\"trailer\":true},\"taken\":{\"messages\":102,\"erase\":true,\"zero_bytes\":[true,true],\"pages\":3,\"trailer\":true,\"params\":null},\"result\":\"ok\",\"reason\":null,\"done\":null,\"done_lookup\":null,\"exit_status\":0,\"signal\":null,\"last_line\":\"page: 2\",\"seconds\":5.123,\"flasher\":{\"path\":\"/usr/bin/flasher\",\"vid\":\"1209\",\"pid\":\"000A\"}}\n", i, i % 8 + 1, i, i
    }' >"$1"
}

# db_round BATCH AWAY: one shipment of the waiting lines into a new database.
# AWAY=1: the shipper starts while the server is stopped, the server is
# started 5 s later (the shipper's pauses between tries have grown to their
# longest by then), and the time is taken from the moment the server takes
# connections again (pg_ctl start -w returned). AWAY=0: from the shipper's
# start, the database there. Appends "ms=... cpu_ms=..." to
# $work/db.BATCH.AWAY.
db_round() {
    local batch=$1 away=$2 name t0 t1
    name=bench$RANDOM$RANDOM
    psql -X -q -h "$pgdir" -U postgres -d postgres -c "CREATE DATABASE $name" >/dev/null
    rm -f "$work/db.record.cursor"
    [ "$away" = 1 ] && db_stop
    t0=$EPOCHREALTIME
    "$bin/flasher-measure" --out "$work/db.measure" -- "$bin/record-ship" --exit-when-shipped \
        --wait-start 1000 --batch-lines "$batch" "host='$pgdir' dbname=$name user=postgres" \
        "$work/db.record" >"$work/db.out" 2>&1 </dev/null &
    local pid=$!
    if [ "$away" = 1 ]; then
        sleep 5
        db_start
        t0=$EPOCHREALTIME
    fi
    wait "$pid" || { echo "bench: record-ship failed" >&2; cat "$work/db.out" >&2; exit 1; }
    t1=$EPOCHREALTIME
    local stored
    stored=$(psql -X -At -h "$pgdir" -U postgres -d "$name" -c "SELECT count(*) FROM flasher.record_line")
    [ "$stored" = "$db_lines" ] ||
        { echo "bench: $stored of $db_lines lines stored" >&2; cat "$work/db.out" >&2; exit 1; }
    awk -v t0="$t0" -v t1="$t1" -v m="$(tail -n 1 "$work/db.measure")" 'BEGIN {
        split(m, kv, " "); for (i in kv) { split(kv[i], p, "="); v[p[1]] = p[2] }
        printf "ms=%d cpu_ms=%d\n", (t1 - t0) * 1000, v["cpu_us"] / 1000 }' >>"$work/db.$batch.$away"
}

database_part() {
    pgbin=$(pg_bin)
    pgdir=$work/pg
    mkdir -p "$pgdir"
    if [ "$(id -u)" = 0 ]; then
        chmod o+x "$work"
        chown nobody "$pgdir"
    fi
    trap 'db_stop immediate >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
    pg_as_owner "$pgbin/initdb" -N -U postgres -A trust -E UTF8 --locale=C --no-instructions \
        -D "$pgdir/data" >/dev/null
    db_start
    db_lines_file "$work/db.record" "$db_lines"
    echo "### The record shipped to PostgreSQL: $db_lines waiting lines ($(stat -c %s "$work/db.record") bytes)"
    echo
    local batch r
    for ((r = 0; r < db_rounds; r++)); do
        for batch in $db_batches; do
            db_round "$batch" 1
            db_round "$batch" 0
        done
    done
    echo "| lines per batch | after the database returns (median) | shipped, database there | shipper CPU | CPU per line |"
    echo "|---|---|---|---|---|"
    for batch in $db_batches; do
        awk -v a="$(median "$work/db.$batch.1" ms)" -v t="$(median "$work/db.$batch.0" ms)" \
            -v c="$(median "$work/db.$batch.0" cpu_ms)" -v n="$db_lines" -v b="$batch" \
            'BEGIN { printf "| %d | %.2f s | %.2f s | %d ms | %.1f us |\n", b, a / 1000, t / 1000, c, c * 1000 / n }'
    done
    echo
    gang_database_part
    db_stop
}

# ---- flasher-gang with --record-db ------------------------------------------

db_conninfo() { echo "host='$pgdir' dbname=$1 user=postgres"; }

# db_with_history NAME RECORD: a new database NAME holding the lines of
# RECORD, shipped by record-ship (so RECORD's cursor is at its end).
db_with_history() {
    psql -X -q -h "$pgdir" -U postgres -d postgres -c "CREATE DATABASE $1" >/dev/null
    rm -f "$2.cursor"
    "$bin/record-ship" --exit-when-shipped "$(db_conninfo "$1")" "$2" >"$work/db.out" 2>&1 </dev/null ||
        { echo "bench: record-ship failed" >&2; cat "$work/db.out" >&2; exit 1; }
}

# db_station_round MODE: 24 boards, each with a serial of its own, plugged
# in one after the other (one every 0.3 s, each for 2 s), to a station
# with --skip-done and a record of $db_lines lines of history: MODE file
# looks each board up in the record; MODE db also asks the database, which
# holds the same history. flasher-vdev notes each plug-in's time from its
# arrival to its erase; every board must be flashed whole. Appends "ms=N"
# per plug-in to $work/plug.MODE.
db_station_round() {
    local mode=$1 image=$work/station-db.bin specs=() k args
    for ((k = 0; k < 24; k++)); do
        specs+=(--device "$(awk -v k="$k" 'BEGIN { a = 1 + k * 0.3
            printf "serial=P%02d,service-us=0,arrive=%.3f,leave=%.3f", k, a, a + 2 }')")
    done
    cp "$work/db.record" "$work/plug.record"
    args=(--record "$work/plug.record" --skip-done)
    if [ "$mode" = db ]; then
        local name=plug$RANDOM$RANDOM
        db_with_history "$name" "$work/plug.record"
        args+=(--record-db "$(db_conninfo "$name")")
    fi
    rm -rf "$work/logs"
    "$bin/flasher-vdev" --fast-pauses --json --check-each --expect-image "$image" \
        "${specs[@]}" --account "$work/plug.json" -- \
        bash -c '"$@" & g=$!; sleep 11; kill -TERM $g; wait $g' station \
        "$gang" --watch --quiet --logs "$work/logs" "${args[@]}" "$image" >"$work/stdout" 2>"$work/stderr" ||
        { echo "bench: the $mode station run failed" >&2; tail -n 12 "$work/stdout" "$work/stderr" >&2; exit 1; }
    local whole
    whole=$(jq '[.devices[].plug_ins[] | select(.check.result == "intact")] | length' "$work/plug.json")
    [ "$whole" = 24 ] || { echo "bench: $mode: $whole of 24 boards flashed whole" >&2; exit 1; }
    # Each board was looked up where the mode says: the record, or the database in time.
    local asked
    asked=$(tail -n 24 "$work/plug.record" | jq -r .done_lookup | sort -u)
    [ "$asked" = "$([ "$mode" = db ] && echo database || echo record)" ] ||
        { echo "bench: $mode: the boards were looked up so: $asked" >&2; exit 1; }
    jq -r '.devices[].plug_ins[] | .first_transfer_after_ms // empty | "ms=\(.)"' \
        "$work/plug.json" >>"$work/plug.$mode"
}

# Plug-in to erase with --skip-done, a file record against --record-db, in
# turn each round.
db_plug_in_to_erase() {
    head -c $((11 + 2 * 2048 + 16)) /dev/urandom >"$work/station-db.bin"
    : >"$work/plug.file"
    : >"$work/plug.db"
    local r
    for ((r = 0; r < db_rounds; r++)); do
        if ((r % 2 == 0)); then db_station_round file; db_station_round db
        else db_station_round db; db_station_round file; fi
    done
    echo "| record | plug-ins | arrival to erase, median | maximum |"
    echo "|---|---|---|---|"
    local mode
    for mode in file db; do
        awk -v m="$(median "$work/plug.$mode" ms)" -v who="$mode" -v n="$(wc -l <"$work/plug.$mode")" \
            'BEGIN { printf "| %s | %d | %.1f ms |", who == "db" ? "--record-db" : "file", n, m }'
        sed 's/ms=//' "$work/plug.$mode" | sort -n | tail -n 1 | awk '{ printf " %.1f ms |\n", $1 }'
    done
    awk -v f="$(median "$work/plug.file" ms)" -v d="$(median "$work/plug.db" ms)" \
        'BEGIN { printf "\nMedian with --record-db minus median with the file record: %+.1f ms\n", d - f }'
}

# The gang's own CPU time against its flashers' while it ships: 8 devices,
# 16 pages, pauses real. "file" is the record file alone, the floor; with
# --record-db, "come" ships each board's line as it ends, "outage" has
# $db_lines lines waiting in the record too, shipped during the run.
db_gang_cpu() {
    local image=$work/gang16.bin name=cpu$RANDOM$RANDOM r kind
    [ -e "$image" ] || head -c $((11 + 16 * 2048 + 16)) /dev/urandom >"$image"
    psql -X -q -h "$pgdir" -U postgres -d postgres -c "CREATE DATABASE $name" >/dev/null
    for kind in file come outage; do : >"$work/cpu.$kind"; done
    for ((r = 0; r < db_rounds; r++)); do
        for kind in file come outage; do
            local db=(--record-db "$(db_conninfo "$name")")
            [ "$kind" = file ] && db=()
            rm -f "$work/cpu.record" "$work/cpu.record.cursor"
            [ "$kind" = outage ] && cp "$work/db.record" "$work/cpu.record"
            measured_run "$work/cpu.$kind" "$image" 8 "$gang" --quiet --logs "$work/logs" \
                --record "$work/cpu.record" "${db[@]}" "$image"
            [ "$kind" = file ] || [ -s "$work/cpu.record.cursor" ] ||
                { echo "bench: $kind: nothing shipped" >&2; exit 1; }
        done
    done
    local expected=$((db_lines + 16 * db_rounds)) stored
    stored=$(psql -X -At -h "$pgdir" -U postgres -d "$name" -c "SELECT count(*) FROM flasher.record_line")
    echo "| record | wall time (median) | its own CPU | its flashers CPU | own / flashers |"
    echo "|---|---|---|---|---|"
    for kind in file come outage; do
        awk -v w="$(median "$work/cpu.$kind" wall_us)" -v k="$kind" -v n="$db_lines" \
            -v s="$(sum "$work/cpu.$kind" self_cpu_us)" -v c="$(sum "$work/cpu.$kind" children_cpu_us)" \
            'BEGIN { label = sprintf("--record-db, 8 lines and %d that waited", n)
                     if (k == "file") label = "the file alone"
                     if (k == "come") label = "--record-db, 8 lines shipped as they come"
                     printf "| %s | %.3f s | %.2f s | %.2f s | %.1f %% |\n",
                         label, w / 1e6, s / 1e6, c / 1e6, c ? 100 * s / c : 0 }'
    done
    echo
    echo "Rows stored: $stored of $expected (each line once; the waiting lines are the same each round)."
}

# The station itself ships $db_lines lines that waited while the database
# was away: started with the server stopped, the server started 5 s later;
# the time from then until the table holds them all, and the station's CPU
# time over its whole run (through timeout, flasher-measure's child).
db_gang_return() {
    local name=back$RANDOM$RANDOM
    psql -X -q -h "$pgdir" -U postgres -d postgres -c "CREATE DATABASE $name" >/dev/null
    cp "$work/db.record" "$work/back.record"
    rm -f "$work/back.record.cursor"
    db_stop
    "$bin/flasher-vdev" --device arrive=100000 --account /dev/null -- \
        "$bin/flasher-measure" --out "$work/back.measure" -- timeout -s TERM 25 \
        "$gang" --watch --quiet --logs "$work/logs" --record "$work/back.record" \
        --record-db "$(db_conninfo "$name")" "$work/station-db.bin" >/dev/null 2>&1 &
    local pid=$! t0 t1 count=0 i
    sleep 5
    db_start
    t0=$EPOCHREALTIME
    for ((i = 0; i < 400; i++)); do
        count=$(psql -X -At -h "$pgdir" -U postgres -d "$name" \
            -c "SELECT count(*) FROM flasher.record_line" 2>/dev/null || echo 0)
        [ "$count" = "$db_lines" ] && break
        sleep 0.05
    done
    t1=$EPOCHREALTIME
    wait "$pid" || true
    [ "$count" = "$db_lines" ] || { echo "bench: the station shipped $count of $db_lines" >&2; exit 1; }
    awk -v t0="$t0" -v t1="$t1" -v m="$(tail -n 1 "$work/back.measure")" 'BEGIN {
        split(m, kv, " "); for (i in kv) { split(kv[i], p, "="); v[p[1]] = p[2] }
        print "| lines | after the database returns | the station CPU, whole run |"
        print "|---|---|---|"
        printf "| %d | %.2f s | %.2f s |\n", '"$db_lines"', t1 - t0, v["children_cpu_us"] / 1e6 }'
}

gang_database_part() {
    gang=$bin/flasher-gang
    echo "### flasher-gang --watch --skip-done: arrival to erase, a file record against --record-db ($db_rounds rounds of 24 plug-ins, $db_lines lines of history)"
    echo
    db_plug_in_to_erase
    echo
    echo "### flasher-gang --record-db: its own CPU while it ships ($db_rounds rounds)"
    echo
    db_gang_cpu
    echo
    echo "### flasher-gang --watch --record-db: $db_lines waiting lines shipped after the database returns"
    echo
    db_gang_return
}
