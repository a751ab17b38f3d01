// The parsed command line, handed from main to the parameter upload or to the
// erase-and-programming sequence.
#pragma once

#include "frontend/protocol.h"

#include <cstdio>

enum class run_mode { erase_only, parameters, firmware };

struct run_request {
    run_mode mode = run_mode::erase_only;
    bool erase_all = false;
    const char *serial = nullptr; // absent when null
    // Open input file: at offset 0 for parameters, just past the image header
    // for firmware. Null in erase-only mode. Left open until exit.
    std::FILE *input = nullptr;
    image_header header{}; // all zero unless firmware mode read it
    // What the size probe measured: -1 when it cannot be told (a pipe, say)
    // or in erase-only mode. Only exactly params_size makes a parameter file.
    long long input_size = -1;
    std::size_t header_read = 0; // bytes of the header that came from the file
};

// The whole program: parse, classify the input, connect, run the mode.
// Returns the exit status, 0 on success and 1 on any failure.
int flasher_main(int argc, char **argv);

// The first half of flasher_main, everything before any USB activity: the
// command line, the input file opened and classified, the image header.
// Returns -1 when the run goes on with `request`; otherwise the exit status,
// the usage lines or "cannot open firmware" already printed.
int prepare_run(int argc, char **argv, run_request &request);

// The "all" flag and the serial from argv[2] on, as prepare_run takes them
// (it does so only once the input is open).
void parse_selectors(int argc, char **argv, run_request &request);

// The second half: connects (up to four attempts) and runs the request's
// mode. Returns the exit status.
int perform_run(const run_request &request);

// Sends the 256-byte parameter block (input at offset 0). Exit status.
int upload_params(const run_request &request);

// Erases the device and, in firmware mode, streams the image. Exit status.
int erase_and_program(const run_request &request);
