// The end of a run: a line per device, the devices left half-written, the
// commands that run each unsuccessful one again, and the exit status.
#pragma once

#include "tools/gang/supervise.h"

// Prints the summary (the table on stdout, or a JSON end event with
// --json; the notes on stderr) and returns the exit status.
int summarize(const gang_run &run, bool skip_unusable);

// What became of a watch session's boards so far.
struct session_tally {
    unsigned ok = 0, failed = 0, not_flashed = 0, skipped = 0;
};
session_tally tally(const gang_run &run);

// "3 ok, 1 failed, 0 not flashed, 2 skipped"
std::string tally_text(const session_tally &t);

// The end of a watch session: the tally, the boards that did not succeed,
// those left half-written and the commands that run each again. Returns
// the exit status: 0 when every board succeeded or was skipped as done.
int summarize_session(const gang_run &run);
