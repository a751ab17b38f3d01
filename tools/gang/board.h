// One target device of a run (in a station: one plug-in of a board), from
// the walk that found it to the end of the flasher that flashed it, in the
// parts that have different sources: what the survey found, the flasher's
// process, flasher's own events, and the result.
#pragma once

#include "tools/gang/events.h"
#include "tools/gang/process.h"
#include "tools/gang/record.h"
#include "tools/gang/wait_set.h"

#include <deque>
#include <optional>
#include <string>

enum class board_result { none, ok, failed, interrupted, not_flashed, skipped };

// Why the gang stopped a flasher before it ended by itself.
enum class stop_cause {
    none,
    interrupted, // INT, TERM or HUP came
    unplugged,   // its board left
};

// What the survey (batch) or the judgement of an arrival (--watch) found.
struct survey_facts {
    std::string usb_path;
    std::string serial;   // as the survey read it; empty when unknown
    unsigned plug_in = 0; // --watch: the plug-in at its port, from 1; 0 in batch mode
    bool usable = false;  // flasher, pinned to it, would use it
    std::string reason;   // not usable: why
    std::string advice;   // not usable: what to do about it
};

// The board's end: its result and why.
struct board_outcome {
    board_result result = board_result::none;
    std::string reason;              // for every result but ok
    std::optional<done_record> done; // skipped: the line that says it is done
    std::string done_lookup;         // --skip-done: how it was looked up
};

struct board {
    survey_facts found;
    std::string log_name; // its flasher's log, in the run directory

    // --skip-done with --record-db: waits for the database's answer.
    bool asking = false;

    // The flasher, once started.
    bool started = false;
    flasher_process process;
    stop_cause stopped = stop_cause::none;
    std::string out_partial, err_partial; // its stdout and stderr, a line not yet ended
    std::string last_line;                // its last line on either, as it came
    event_state events;                   // its own account of each message

    board_outcome outcome;
    bool ended = false;
    wall_time start_wall{}, end_wall{};
    steady_time start{}, end{};
};

// A flasher was started for it and has not been reaped.
bool running(const board &b);

// Seconds from its flasher's start to its end (or to now); nullopt when no
// flasher was started.
std::optional<double> board_seconds(const board &b, steady_time now);

// The serial as flasher read it from the device it opened, else as the
// survey read it; raw bytes.
std::string board_serial(const board &b);

// Another board of the run at another usb path (attached beside it, or at
// another port of the session) has this board's serial: a record cannot
// tell the two apart, so neither is ever taken for done.
bool serial_shared(const std::deque<board> &boards, const board &b);

// The board may be left part-way: an erase or a parameter upload was handed
// to it, and it did not end ok.
bool half_written(const board &b);

// "ok", "failed", ...: the result as the record names it.
const char *result_name(board_result result);

// "page 3 of 12", "erasing", "done" ...: where the board is, in words.
std::string phase_text(const board &b, unsigned planned_pages);
