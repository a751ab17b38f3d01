// flasher-probe's report: the input, the devices, the build, and a verdict,
// in plain lines, and the exit status that goes with the verdict.
#pragma once

#include "tools/probe/plan.h"
#include "tools/probe/verdict.h"
#include "usb/dryrun/dryrun_transport.h"

#include <cstdio>
#include <string>
#include <vector>

// What was asked: flasher's arguments and the selectors it would use.
struct probe_subject {
    std::vector<std::string> args;  // flasher's arguments, after its name
    const char *serial = nullptr;   // the serial argument, null when absent
    const char *usb_path = nullptr; // FLASHER_USBPATH, null when unset
};

// The whole run: a dry run of the front end (null in a survey of the devices
// alone) and the device search it made, or would have made.
struct probe_findings {
    const probe_subject &subject;
    const dry_run *run;     // null: no arguments, devices only
    const input_plan *plan; // null with run
    const dryrun::walk_result &walk;
};

verdict judge(const probe_findings &findings);
void print_report(std::FILE *out, const probe_findings &findings, const verdict &v);

// The usb path of each device flasher could use with these selectors, as
// FLASHER_USBPATH would pin it.
std::vector<std::string> usable_paths(const dryrun::walk_result &walk);
