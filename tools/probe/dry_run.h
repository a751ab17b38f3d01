// flasher's own front end, run over the dry-run back-end: what flasher would
// do with these arguments, decided by the code flasher runs.
#pragma once

#include "frontend/run_request.h"

#include <string>

struct dry_run {
    bool prepared = false; // got past the command line and the input file
    int status = 0;        // flasher's exit status, had every write been taken
    run_request request;   // as the front end read the command line
    std::string last_line; // the last line flasher would print to stderr
    // The bytes the input held, once read to its end (a source whose size
    // cannot be told is given to the front end as a copy, then counted);
    // -1 when not counted. at_least: counting stopped with bytes left.
    long long counted_total = -1;
    bool counted_at_least = false;
};

// Runs flasher's front end with argv (argv[0] is the program's name, argv[1]
// on flasher's arguments). Its lines to stderr are kept, not shown.
dry_run run_dry(int argc, char **argv);

// Runs `program`'s front end with argv[first] to argv[argc - 1] as its
// arguments, as run_dry does, and gives the serial it reads from them, which
// the front end leaves unread when it stops at the input: the devices are
// then still searched with it. The texts stay argv's own.
dry_run run_program_dry(const char *program, int argc, char **argv, int first, const char *&serial);
