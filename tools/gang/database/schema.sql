-- flasher-gang's record in PostgreSQL: one row per record line, the views the
-- line's engineers query, and the schema's version. flasher-gang runs this
-- script itself, in one transaction, when it finds the schema missing (or
-- older than it knows); a DBA may run it by hand instead:
--     psql -v ON_ERROR_STOP=1 -d DATABASE -f schema.sql
-- and then station-role.sql, which makes the role the stations record as.
-- Running it again changes nothing. Every name lives in the schema "flasher".
BEGIN;

-- Two stations using a new database for the first time at once: the second
-- waits here until the first has committed, then finds everything made.
SELECT pg_advisory_xact_lock(hashtext('flasher-gang schema'));

CREATE SCHEMA IF NOT EXISTS flasher;

CREATE TABLE IF NOT EXISTS flasher.schema_version (
    version integer PRIMARY KEY,
    applied timestamptz NOT NULL DEFAULT now()
);

-- The version this script makes. flasher-gang takes the number it knows from
-- this line, and refuses a database whose version is newer.
DO $$
DECLARE
    known constant integer := 1;
    found integer;
BEGIN
    SELECT max(version) INTO found FROM flasher.schema_version;
    IF found > known THEN
        RAISE EXCEPTION 'the record''s schema is version %, newer than this one (%)', found, known
            USING ERRCODE = 'FG001';
    END IF;
    INSERT INTO flasher.schema_version (version) VALUES (known) ON CONFLICT DO NOTHING;
END
$$;

-- One row per record line (flasher-gang(1) gives each field's meaning). The
-- typed columns are taken from the line; "line" is the whole line.
CREATE TABLE IF NOT EXISTS flasher.record_line (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, -- arrival order
    received timestamptz NOT NULL DEFAULT now(),
    schema integer,
    run text NOT NULL,
    station text,
    host text,
    start_time timestamptz,
    end_time timestamptz,
    usb_path text NOT NULL,
    plug_in integer, -- null in batch mode
    serial text,
    mode text,
    erase_all boolean,
    image_given text,
    image_size bigint,
    image_sha256 text,
    plan_pages integer,
    plan_trailer boolean,
    taken_messages integer,
    taken_erase boolean,
    taken_zero_bytes boolean[],
    taken_pages integer,
    taken_trailer boolean,
    taken_params boolean,
    result text,
    reason text,
    done_run text,
    done_end text,
    done_usb_path text,
    done_station text,
    done_lookup text,
    exit_status integer,
    signal integer,
    last_line text,
    seconds double precision,
    flasher_path text,
    flasher_vid text,
    flasher_pid text,
    line jsonb NOT NULL
);

-- A line sent twice is stored once: a station resends from its cursor after
-- a crash or a lost answer. plug_in is null in batch mode, hence coalesce.
-- The station is part of the key, so two stations whose run names happen to
-- be equal (same start time, same process ID) never lose each other's lines.
CREATE UNIQUE INDEX IF NOT EXISTS record_line_key
    ON flasher.record_line (run, coalesce(station, ''), usb_path, coalesce(plug_in, 0));
CREATE INDEX IF NOT EXISTS record_line_serial
    ON flasher.record_line (serial, end_time DESC NULLS LAST, id DESC);
CREATE INDEX IF NOT EXISTS record_line_end ON flasher.record_line (end_time);

-- Stores record lines (a JSON array of line objects), in order; a line
-- already stored is passed over. Returns how many rows were new.
CREATE OR REPLACE FUNCTION flasher.add_lines(lines jsonb) RETURNS bigint
LANGUAGE sql AS $$
    WITH added AS (
        INSERT INTO flasher.record_line (
            schema, run, station, host, start_time, end_time, usb_path, plug_in, serial,
            mode, erase_all, image_given, image_size, image_sha256, plan_pages,
            plan_trailer, taken_messages, taken_erase, taken_zero_bytes, taken_pages,
            taken_trailer, taken_params, result, reason, done_run, done_end,
            done_usb_path, done_station, done_lookup, exit_status, signal, last_line,
            seconds, flasher_path, flasher_vid, flasher_pid, line)
        SELECT (l->>'schema')::integer, l->>'run', l->>'station', l->>'host',
               (l->>'start')::timestamptz, (l->>'end')::timestamptz, l->>'usb_path',
               (l->>'plug_in')::integer, l->>'serial', l->>'mode', (l->>'erase_all')::boolean,
               l#>>'{image,given}', (l#>>'{image,size}')::bigint, l#>>'{image,sha256}',
               (l#>>'{plan,pages}')::integer, (l#>>'{plan,trailer}')::boolean,
               (l#>>'{taken,messages}')::integer, (l#>>'{taken,erase}')::boolean,
               CASE jsonb_typeof(l#>'{taken,zero_bytes}') WHEN 'array' THEN
                   ARRAY(SELECT z::boolean
                           FROM jsonb_array_elements_text(l#>'{taken,zero_bytes}')
                                WITH ORDINALITY AS zero(z, n)
                          ORDER BY n) END,
               (l#>>'{taken,pages}')::integer, (l#>>'{taken,trailer}')::boolean,
               (l#>>'{taken,params}')::boolean, l->>'result', l->>'reason',
               l#>>'{done,run}', l#>>'{done,end}', l#>>'{done,usb_path}',
               l#>>'{done,station}', l->>'done_lookup', (l->>'exit_status')::integer,
               (l->>'signal')::integer, l->>'last_line', (l->>'seconds')::double precision,
               l#>>'{flasher,path}', l#>>'{flasher,vid}', l#>>'{flasher,pid}', l
          FROM jsonb_array_elements(lines) WITH ORDINALITY AS given(l, n)
         ORDER BY n
        ON CONFLICT DO NOTHING
        RETURNING 1)
    SELECT count(*) FROM added
$$;

-- The latest line of each board (by serial): the line with the latest end,
-- and of two that end at once the one stored later. "What did serial X get
-- last, where and when?"
CREATE OR REPLACE VIEW flasher.latest_line AS
SELECT DISTINCT ON (serial)
       serial, station, run, usb_path, plug_in, start_time, end_time, mode, image_given,
       image_sha256, result, reason, line->>'end' AS end_text, id
  FROM flasher.record_line
 WHERE serial IS NOT NULL
 ORDER BY serial, end_time DESC NULLS LAST, id DESC;

-- The same, of the lines where a flasher ran for the board: a board skipped
-- as done, or not flashed, was not changed, so its line does not undo the
-- line before it. --skip-done decides by this view: a board is done when
-- this line is ok for the same image and mode.
CREATE OR REPLACE VIEW flasher.latest_flash AS
SELECT DISTINCT ON (serial)
       serial, station, run, usb_path, plug_in, start_time, end_time, mode, image_given,
       image_sha256, result, reason, line->>'end' AS end_text, id
  FROM flasher.record_line
 WHERE serial IS NOT NULL AND result NOT IN ('skipped', 'not flashed')
 ORDER BY serial, end_time DESC NULLS LAST, id DESC;

-- Yield per image and hour (by the hour each line ended, UTC): of the boards
-- flashed (ok, failed or interrupted), the share that came out ok. Skipped
-- and not-flashed lines are counted apart.
CREATE OR REPLACE VIEW flasher.yield_per_hour AS
SELECT mode, image_sha256, min(image_given) AS image_given,
       date_trunc('hour', end_time AT TIME ZONE 'UTC') AS hour_utc,
       count(*) FILTER (WHERE result IN ('ok', 'failed', 'interrupted')) AS flashed,
       count(*) FILTER (WHERE result = 'ok') AS ok,
       count(*) FILTER (WHERE result IN ('failed', 'interrupted')) AS failed,
       count(*) FILTER (WHERE result = 'skipped') AS skipped,
       count(*) FILTER (WHERE result = 'not flashed') AS not_flashed,
       round(count(*) FILTER (WHERE result = 'ok')::numeric
             / nullif(count(*) FILTER (WHERE result IN ('ok', 'failed', 'interrupted')), 0),
             4) AS yield
  FROM flasher.record_line
 GROUP BY mode, image_sha256, date_trunc('hour', end_time AT TIME ZONE 'UTC');

-- Each station's ports over their last 100 plug-ins (lines): how many
-- failed. A worn cable or a bad fixture shows here first.
CREATE OR REPLACE VIEW flasher.port_failures AS
SELECT station, usb_path, count(*) AS plug_ins,
       count(*) FILTER (WHERE result = 'failed') AS failed,
       count(*) FILTER (WHERE result = 'not flashed') AS not_flashed,
       max(end_time) AS last_end
  FROM (SELECT station, usb_path, result, end_time,
               row_number() OVER (PARTITION BY station, usb_path
                                  ORDER BY end_time DESC NULLS LAST, id DESC) AS back
          FROM flasher.record_line) AS recent
 WHERE back <= 100
 GROUP BY station, usb_path;

COMMIT;
