// The supervisor: starts one flasher per usable board, reads each one's
// lines as they come, writes each board's record as it ends, and on INT,
// TERM or HUP stops every flasher and waits for all of them.
#pragma once

#include "tools/gang/board.h"
#include "tools/gang/display.h"
#include "tools/gang/record.h"

#include <string>
#include <vector>

struct gang_run {
    run_facts facts;
    std::vector<std::string> flasher_argv; // the flasher, then its arguments
    std::string dir;                       // the run's own directory
    int record_fd = -1;                    // --record, or -1
    int own_record_fd = -1;                // the run directory's record
    int signal_fd = -1;
    display disp;
    std::vector<board> boards;
    bool interrupted = false;
    bool record_failed = false; // a record line could not be written
};

// Writes the record of a board that has ended (or was never started) to
// the run's record and to --record, and shows it.
void finish_board(gang_run &run, board &b);

// Starts a flasher for every board not marked not_flashed, and runs until
// every one has ended.
void supervise(gang_run &run);
