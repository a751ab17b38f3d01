// The account of a run and the check of what the devices received.
#pragma once

#include "tools/vdev/options.h"
#include "tools/vdev/vdev.h"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace vdev
{

// What the run is checked against, read before the command starts.
struct expectation {
    const char *path = nullptr; // null when nothing is checked
    bool image = false;
    std::vector<unsigned char> bytes;
};

// Reads the expected file before the command starts: one that cannot be
// read, or a parameter file of the wrong size, would otherwise be found only
// after the device had been erased. Returns -1 when it is fine, else the
// exit status.
int read_expectation(const options &opt, expectation &expected);

// Where the account goes: the --account file, created (or emptied) before
// the command starts so that a path that cannot be written stops the run
// while the device is untouched; else standard error. Null after a message
// when the file cannot be written.
std::FILE *open_account(const options &opt);

// Prints the account and the check to `out`; returns the run's exit status.
int report(const options &opt, const expectation &expected, std::FILE *out, int status);

// ---- between report.cpp and the printers ----

struct check_outcome {
    std::string text; // the check's lines
    account::check_result result = account::check_result::intact;
};

struct run_checks {
    bool asked = false; // an expectation was given
    // When a device arrives or leaves, each plug-in that received anything
    // is checked (a device there throughout is one plug-in); `run` then holds
    // a summary line. Else one device is checked and `run` is its check.
    bool per_plug_in = false;
    std::map<const plug_in *, check_outcome> of_plug_in;
    check_outcome run;
};

// "0.5 s", "3 s", "12.25 s".
std::string seconds_text(unsigned ms);

void print_text(const options &opt, const run_checks &checks, std::FILE *out, int status);
void print_json(const options &opt, const run_checks &checks, std::FILE *out, int status);

} // namespace vdev
