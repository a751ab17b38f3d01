// The end of a run: a line per device, the devices left half-written, the
// commands that run each unsuccessful one again, and the exit status.
#pragma once

#include "tools/gang/supervise.h"

// Prints the summary (the table on stdout, or a JSON end event with
// --json; the notes on stderr) and returns the exit status.
int summarize(const gang_run &run, bool skip_unusable);
