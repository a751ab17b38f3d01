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
};

// The whole program: parse, classify the input, connect, run the mode.
// Returns the exit status, 0 on success and 1 on any failure.
int flasher_main(int argc, char **argv);

// Sends the 256-byte parameter block (input at offset 0). Exit status.
int upload_params(const run_request &request);

// Erases the device and, in firmware mode, streams the image. Exit status.
int erase_and_program(const run_request &request);
