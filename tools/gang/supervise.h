// The supervisor: starts one flasher per usable board, reads each one's
// lines as they come, writes each board's record as it ends, and on INT,
// TERM or HUP stops every flasher and waits for all of them.
#pragma once

#include "tools/gang/board.h"
#include "tools/gang/display.h"
#include "tools/gang/done_index.h"
#include "tools/gang/record.h"
#include "tools/gang/record_file.h"

#include <deque>
#include <poll.h>
#include <string>
#include <vector>

struct gang_run {
    run_facts facts;
    std::vector<std::string> flasher_argv; // the flasher, then its arguments
    std::string dir;                       // the run's own directory
    std::vector<std::string> made_dirs;    // made for the run: taken back if it is refused
    record_writer records;                 // the run directory's record and --record
    int signal_fd = -1;
    display disp;
    std::deque<board> boards; // every board of the run; references stay valid
    bool interrupted = false;
    bool record_failed = false; // record lines could not be written, even at the end
    done_index *done = nullptr; // --skip-done: the boards done already
};

// With --skip-done, a usable board that the record already calls done for
// this image: it is ended as skipped, with that record, and true returned.
bool skip_if_done(gang_run &run, board &b);

// No record, no flash: true when every record line is written (pending ones
// are tried again now); else the board is ended not flashed, saying why.
bool record_writable(gang_run &run, board &b);

// Writes the record of a board that has ended (or was never started) to
// the run's record and to --record, and shows it.
void finish_board(gang_run &run, board &b);

// Marks a board that never gets a flasher (unusable, skipped, or stopped
// before it started) as ended now with `result`, and records it.
void end_unstarted(gang_run &run, board &b, board_result result);

// Starts the board's flasher; its output goes to b.log_name in the run
// directory. A flasher that cannot be started ends the board as failed.
void start_board(gang_run &run, board &b);

bool running(const board &b);
bool any_running(const gang_run &run);

// One readable end of a running flasher's pipes, for a poll loop.
struct flasher_pipe {
    board *owner;
    int *fd;
};

// Appends a pollfd for every open pipe of every running flasher.
void add_flasher_pipes(gang_run &run, std::vector<pollfd> &fds, std::vector<flasher_pipe> &pipes);

// Reads what the pipes hold (fds and pipes in the same order, as added);
// a board whose pipes have both closed is reaped and recorded.
void take_flasher_pipes(gang_run &run, const pollfd *fds, const std::vector<flasher_pipe> &pipes);

// INT, TERM or HUP came: every running flasher is told to stop.
void stop_all(gang_run &run);

// The poll loop's time-out: a live display's tick while flashers run,
// else none.
int tick_ms(const gang_run &run);

// Starts a flasher for every board not already ended, and runs until
// every one has ended.
void supervise(gang_run &run);
