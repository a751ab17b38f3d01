// The command line every build of the probe takes, and what --paths exits
// with.
#pragma once

#include "tools/probe/dry_run.h"
#include "tools/probe/verdict.h"

#include <cstddef>
#include <string>

struct probe_options {
    bool paths = false;
    int first_arg = 0; // index of the flashing program's first argument in argv
};

// Reads the options before the program's arguments ("--" ends them).
// Returns -1 when parsed, else the exit status: --help prints `usage` to
// stdout; an unknown option is named on stderr, with the usage.
int parse_probe_options(int argc, char **argv, const char *usage, probe_options &opt);

// The exit status of --paths once `listed` devices were listed (run is null
// in a survey of the devices alone), with the reason on stderr when it is
// not 0. Each listed device is meant to be pinned on its own: a device that
// would stop an unpinned run does not stop those.
int paths_status(const dry_run *run, std::size_t listed, const verdict &v,
                 const std::string &program);
