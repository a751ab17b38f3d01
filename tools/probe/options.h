// The command line every build of the probe takes, and what --paths prints
// and exits with.
#pragma once

#include "tools/probe/plan.h"
#include "tools/probe/verdict.h"

#include <string>
#include <vector>

struct probe_options {
    bool paths = false;
    int first_arg = 0; // index of the flashing program's first argument in argv
};

// Reads the options before the program's arguments ("--" ends them).
// Returns -1 when parsed, else the exit status: --help prints `usage` to
// stdout; an unknown option is named on stderr, with the usage.
int parse_probe_options(int argc, char **argv, const char *usage, probe_options &opt);

// What the input alone comes to for --paths, whichever device is pinned
// (run null: a survey of the devices alone, plan with it): the devices
// listed are each meant to be pinned, so a device that would stop an
// unpinned run must not change it.
verdict judge_input_alone(const dry_run *run, const input_plan *plan, const std::string &program);

// --paths: prints what pins each usable device, one a line, when `program`
// could take the input at all; returns the exit status, with the reason on
// stderr when it is not 0.
int report_pins(const dry_run *run, const input_plan *plan, const std::vector<std::string> &pins,
                const std::string &program);
