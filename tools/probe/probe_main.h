// The probe's main, alike in every build: the options, a dry run of the
// program's front end with the arguments that follow them, the device search
// it made (or would have made), and the report or, with --paths, the pins.
#pragma once

#include "tools/probe/report.h"

// Runs the probe of `build` with the command line; returns its exit status.
int probe_main(int argc, char **argv, const probe_build &build);
