// A build without libpq: there is no database to keep the record in. The
// command line refuses --record-db first (options.cpp), saying so; this
// only answers the same, should anything ask.
#include "tools/gang/record_database.h"

std::string record_db_refusal(const std::string &)
{
    return {}; // the command line has refused --record-db already
}

database_start start_record_database(const std::string &, const std::string &, bool, display &,
                                     milliseconds)
{
    database_start out;
    out.verdict = database_verdict::refused;
    out.message = "this flasher-gang was built without PostgreSQL's client library (libpq)";
    return out;
}
