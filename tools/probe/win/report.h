// flasher-probe.exe's report: the input, the devices flasher-win would find
// in the order it examines them with the driver each is bound to, the text
// that pins each usable device, and a verdict, in plain lines, and the exit
// status that goes with the verdict.
#pragma once

#include "tools/probe/plan.h"
#include "tools/probe/verdict.h"
#include "usb/winusb/winusb_dryrun.h"

#include <cstdio>
#include <string>
#include <vector>

// What was asked: flasher-win's arguments and the serial it would use.
struct win_probe_subject {
    std::vector<std::string> args; // flasher-win's arguments, after its name
    const char *serial = nullptr;  // as the front end reads it; null when absent
    bool usb_path_set = false;     // FLASHER_USBPATH is set: flasher-win ignores it
};

// The whole run: a dry run of the front end (null in a survey of the devices
// alone) and the device search it made.
struct win_probe_findings {
    const win_probe_subject &subject;
    const dry_run *run;     // null: no arguments, devices only
    const input_plan *plan; // null with run
    const dryrun_win::walk_result &walk;
};

verdict judge_win(const win_probe_findings &findings);
void print_win_report(std::FILE *out, const win_probe_findings &findings, const verdict &v);

// The command that runs flasher-win on the same input with `serial` in place
// of any serial given.
std::string pinned_command(const win_probe_findings &findings, const std::string &serial);
