// A board's end: its verdict, its line in the record files (and in the
// --skip-done index), and what the view shows of it. Every board ends here
// once, whether its flasher ran or it was never started.
#pragma once

#include "tools/gang/board.h"
#include "tools/gang/display.h"
#include "tools/gang/done_index.h"
#include "tools/gang/port_health.h"
#include "tools/gang/record.h"
#include "tools/gang/record_database.h"
#include "tools/gang/record_file.h"
#include "tools/gang/verdict.h"

// Where ended boards go.
struct board_sink {
    const run_facts &facts;
    flash_plan plan;
    display &disp;
    record_writer &records;              // the run directory's record and --record
    done_index *done = nullptr;          // --skip-done
    record_database *database = nullptr; // --record-db: ships --record's lines
    port_health *ports = nullptr;        // this run's ports that keep failing
};

// The board's line, as the record holds it.
board_line line_of(const board &b);

// Ends a board that never got a flasher (unusable, skipped, stopped before
// it started, or a flasher that could not be started) with `result` and
// `reason`, now.
void end_unstarted(board_sink &sink, board &b, board_result result, std::string reason);

// Ends a board whose flasher has been reaped: the verdict from its events
// and its exit.
void end_flashed(board_sink &sink, board &b);

// No record, no flash: true when every record line is written (lines
// still pending are tried again now); else the board is ended not flashed,
// saying why, and false returned.
bool record_writable(board_sink &sink, board &b);

// What the live view shows under the boards, besides them: the ports that
// keep failing, and the record's lines waiting for the database.
std::vector<std::string> status_lines(const board_sink &sink);
