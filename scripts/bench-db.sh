# Sourced by scripts/bench.sh: the record shipped to PostgreSQL
# (--record-db's shipper, driven by record-ship). 10,000 record lines wait
# while the database is away; the server is started and the time until the
# last is acknowledged is taken, with the shipper's CPU time, for several
# batch sizes; then the same lines shipped with the database there from the
# start. A throwaway server on a Unix socket in $work, as the tests start
# one (as "nobody" when run as root). It uses bench.sh's $bin, $work,
# $db_rounds and median().
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
    db_stop
}
