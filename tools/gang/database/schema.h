// The record's schema in the database, compiled in from schema.sql (its one
// copy, which packaging also installs for a DBA).
#pragma once

namespace recorddb
{

// The schema version schema.sql makes: the newest this program knows.
extern const int schema_version;

// The whole script: one transaction that makes whatever is missing.
extern const char schema_sql[];

} // namespace recorddb
