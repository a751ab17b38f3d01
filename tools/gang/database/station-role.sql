-- The role stations record as: it may add record lines and read them, and
-- nothing else, so no station can rewrite or remove the record. Run it once,
-- as the owner of the schema, after schema.sql:
--     psql -v ON_ERROR_STOP=1 -d DATABASE -f station-role.sql
-- then give each station a login in it, for example:
--     CREATE ROLE line3 LOGIN IN ROLE flasher_station;  -- and \password line3
BEGIN;
DO $$
BEGIN
    IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'flasher_station') THEN
        CREATE ROLE flasher_station NOLOGIN;
    END IF;
END
$$;
GRANT USAGE ON SCHEMA flasher TO flasher_station;
GRANT SELECT ON ALL TABLES IN SCHEMA flasher TO flasher_station; -- the views too
GRANT INSERT ON flasher.record_line TO flasher_station;
GRANT EXECUTE ON FUNCTION flasher.add_lines(jsonb) TO flasher_station;
COMMIT;
