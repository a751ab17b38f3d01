// --record-db from the gang's side: the record kept in PostgreSQL too, for a
// line of several stations. The --record file stays the first home of every
// line and is the outbox: each line, written and synced there, is shipped in
// order, and what the database acknowledged is kept as a cursor beside the
// file, so a database away, a killed gang or a cut network loses nothing
// (tools/gang/database/ does the shipping). Everything happens in the gang's
// one poll loop: a slow or absent database never delays a flash, a progress
// line or a stop. In a build without libpq there is no database: the
// command line refuses --record-db, saying so.
#pragma once

#include "tools/gang/display.h"
#include "tools/gang/record_read.h"
#include "tools/gang/wait_set.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using std::chrono::milliseconds;

// How long the start waits for the database at most, before any device is
// touched, and how long the end of a run gives it to take what waits.
constexpr milliseconds database_start_wait{2000};
constexpr milliseconds database_finish_wait{2000};
// How long a board waits for the answer to its --skip-done look-up, unless
// FLASHER_GANG_LOOKUP_MS says otherwise.
constexpr milliseconds lookup_wait_default{300};

// The answer to a look-up: whether a board is done, at any station.
struct database_answer {
    unsigned id = 0;
    bool answered = false;            // the database answered in time
    std::optional<line_facts> latest; // answered: the serial's latest line a flasher ran for
    std::string not_looked_up;        // not answered: why, in the words of done_lookup
    std::string detail;               // not answered: more, for a person
};

class record_database : public loop_part
{
  public:
    // Lines were appended to the record: they go out at once when they can.
    virtual void appended() = 0;

    // --skip-done: asks for the latest line of `serial`; the answer comes
    // from take_answers() by `deadline`, answered or not.
    virtual unsigned look_up(const std::string &serial, const std::string &sha256,
                             const std::string &mode, steady_time deadline) = 0;
    virtual std::vector<database_answer> take_answers() = 0;

    // Lines of the record not yet acknowledged by the database.
    virtual std::size_t waiting() const = 0;
    // For the live view while lines wait: "record: N lines waiting for the
    // database" and how the database is; empty when none waits.
    virtual std::string status_line() const = 0;

    // At the end of a run: ships what waits, for at most `wait`. Returns
    // the lines still waiting.
    virtual std::size_t finish(milliseconds wait) = 0;
    // Lines passed over (not JSON, or refused by the database): the first
    // of them named; empty when none was.
    virtual std::string passed_note() const = 0;
};

enum class database_verdict {
    ready,   // connected, the schema checked or made
    away,    // not reached in time: the run goes on, lines wait
    refused, // the run stops before any device is touched (status 1)
};

struct database_start {
    database_verdict verdict = database_verdict::away;
    std::string message; // away or refused: why, in one line
    std::unique_ptr<record_database> db;
};

// Checks the connection string, opens the cursor beside `record`, reads
// the record, connects and checks the schema, waiting at most `wait`.
// `lookups`: --skip-done asks the database too. Changes of the database's
// state are shown on `disp`.
database_start start_record_database(const std::string &conninfo, const std::string &record,
                                     bool lookups, display &disp, milliseconds wait);

// Why the connection string cannot be used (it does not parse, or it holds
// a password); empty when it can. Asked before any file of the run is made.
std::string record_db_refusal(const std::string &conninfo);

// The look-up's wait: FLASHER_GANG_LOOKUP_MS when it holds a whole number of
// milliseconds from 1 to 60000, else lookup_wait_default.
milliseconds lookup_wait();
