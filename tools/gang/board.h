// One target device of a run, from the walk that found it to the end of the
// flasher that flashed it: what this run saw, and nothing else.
#pragma once

#include "tools/gang/record.h"
#include "tools/gang/run_dir.h"

#include <chrono>
#include <string>
#include <sys/types.h>

using steady_time = std::chrono::steady_clock::time_point;

// How far flasher has got, read from its own lines.
enum class board_phase {
    not_flashed, // flasher cannot use the device: never started
    starting,    // started, not connected yet
    retrying,    // a connection attempt failed; flasher tries again
    connected,   // flasher opened the device (it printed the serial)
    erasing,     // "continuing with flashing": the erase message goes out
    erased,      // "erased": the pause and the zero bytes, then the pages
    paging,      // "page: N" seen
    ended,       // flasher exited, or was stopped
};

enum class board_result { none, ok, failed, interrupted, not_flashed, skipped };

struct board {
    std::string usb_path;
    std::string serial;   // as flasher printed it, else as the walk read it
    std::string reason;   // not flashed: why
    std::string advice;   // not flashed: what to do about it
    done_record done;     // skipped: the record that says it is done
    std::string log_name; // its flasher's log, in the run directory
    unsigned plug_in = 0; // --watch: the plug-in at its port it belongs to, from 1
    board_phase phase = board_phase::starting;
    board_result result = board_result::none;
    std::string done_lookup; // --skip-done: how the record was looked up (its done_lookup)

    pid_t pid = -1;
    int out_fd = -1, err_fd = -1; // flasher's stdout and stderr, read here
    std::string out_partial, err_partial;
    int log_fd = -1;

    unsigned pages_reported = 0; // "page: N" lines: the last N + 1
    bool connected = false;      // flasher printed a serial: it opened a device
    bool erase_seen = false;     // "erased" was printed: the device is being changed
    std::string last_line;       // flasher's last line, either stream
    int exit_status = -1;        // when flasher exited
    int signal = 0;              // when a signal ended it
    wall_time start_wall{}, end_wall{};
    steady_time start{}, end{};
};

// Seconds from start to end (or to now, while it runs).
double board_seconds(const board &b, steady_time now);

// True when the device may be left part-way: flasher began changing it (the
// erase went out, or a parameter upload is under way) and did not succeed.
bool half_written(const board &b, bool parameter_upload);

const char *result_name(board_result result);
