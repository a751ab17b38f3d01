// The input part of flasher-probe's report: the mode the front end takes and
// why, what of the file goes out and what stays behind. It depends on the
// front end and the recorded messages only, not on the USB back-end, so
// every build of the probe prints it alike.
#pragma once

#include "tools/probe/plan.h"
#include "tools/probe/verdict.h"

#include <cstdio>
#include <string>

// The "input:" section of `program`'s dry run ("flasher", "flasher-win").
// `name` is the input as given on the command line.
void print_input(std::FILE *out, const std::string &program, const std::string &name,
                 const dry_run &run, const input_plan &plan);

// The verdict on a run that reaches a device named `where`: `program`
// ("flasher") would erase it and send what, or upload, or only erase.
verdict judge_input(const input_plan &plan, const std::string &program, const std::string &where);
