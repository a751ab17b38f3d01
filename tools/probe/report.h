// flasher-probe's report: the input, the devices, the build, and a verdict,
// in plain lines, and the exit status that goes with the verdict.
#pragma once

#include "tools/probe/plan.h"

#include <cstdio>
#include <string>
#include <vector>

// Exit statuses of flasher-probe.
constexpr int probe_would_succeed = 0; // flasher would send the whole input
constexpr int probe_would_fail = 1;    // flasher would fail (no input, no device)
constexpr int probe_bad_options = 2;
constexpr int probe_would_leave = 3; // flasher would run but leave bytes unsent, or only erase

// What was asked: flasher's arguments and the selectors it would use.
struct probe_subject {
    std::vector<std::string> args;  // flasher's arguments, after its name
    const char *usb_path = nullptr; // FLASHER_USBPATH, null when unset
};

struct verdict {
    int status = probe_would_succeed;
    std::string text;
};

// The whole run: a dry run of the front end (null in a survey of the devices
// alone) and the device search it made.
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
