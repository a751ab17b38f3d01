// The end of a run: a line per device, the devices left half-written, the
// commands that run each unsuccessful one again, and the exit status.
#pragma once

#include "tools/gang/board.h"
#include "tools/gang/display.h"

#include <deque>
#include <string>
#include <vector>

// What the summary is made of.
struct run_summary {
    const std::deque<board> &boards;
    const std::vector<std::string> &flasher_argv; // the flasher, then its arguments
    const std::string &dir;                       // the run directory
    const std::string &run_id;
    display_mode mode;
    bool interrupted = false;
    bool record_failed = false; // a record line could not be written
    bool skip_unusable = false;
    // --record-db: the lines not yet shipped (-1: no database), and the
    // first line the database was not given, named.
    long database_waiting = -1;
    std::string database_note;
};

// Prints the summary (the table on stdout, or a JSON end event with
// --json; the notes on stderr) and returns the exit status.
int summarize(const run_summary &run);

// What became of a watch session's boards so far.
struct session_tally {
    unsigned ok = 0, failed = 0, not_flashed = 0, skipped = 0;
};
session_tally tally(const std::deque<board> &boards);

// "3 ok, 1 failed, 0 not flashed, 2 skipped"
std::string tally_text(const session_tally &t);

// The end of a watch session: the tally, the boards that did not succeed,
// those left half-written and the commands that run each again. Returns
// the exit status: 0 when every board succeeded or was skipped as done.
int summarize_session(const run_summary &run);
