// flasher-probe's report, alike in every build: the input, the devices the
// build's back-end would find and what the program makes of each, the lines
// that pin each usable device, and a verdict, in plain lines, with the exit
// status that goes with the verdict. Each build tells its back-end's search
// in the terms below (libusb_report.h; win/report.h for flasher-probe.exe)
// and words its own pins.
#pragma once

#include "tools/probe/outcome.h"
#include "tools/probe/plan.h"
#include "tools/probe/verdict.h"

#include <cstdio>
#include <string>
#include <vector>

// What was asked: the program's arguments and the selectors it would use.
struct probe_subject {
    std::vector<std::string> args;  // the program's arguments, after its name
    const char *serial = nullptr;   // as the front end reads it; null when absent
    const char *usb_path = nullptr; // FLASHER_USBPATH, null when unset
};

// One device with the build's IDs, as the report lists it.
struct listed_target {
    std::string name;       // what names it: its usb path, its instance ID
    std::string detail;     // the column beside the name: its serial, its driver
    device_outcome outcome; // write_fails: the reason is the whole outcome column
    std::string fails_why;  // write_fails: why its writes fail, for the verdict
    // Lines under it: about its outcome, only where the program gets to it
    // (the outcome's advice first); about the device itself, always.
    std::vector<std::string> advice;
    std::vector<std::string> notes;
    bool usable = false; // pinned, the program would use it and its writes would go through
    std::string pin;     // what pins it (a usb path, a serial text); empty when nothing does
};

// One search, in the order the program examines the devices.
struct listed_search {
    bool listed = false;                // the USB devices could be listed
    std::vector<std::string> selectors; // the selectors line's text, then lines under it
    std::vector<listed_target> devices;
    // The first device that is chosen or ends the attempt: where the program
    // stops. -1 when it examines them all without choosing one.
    int stop = -1;
    std::vector<std::string> other_products; // a line for each device of another product ID
    std::string others;                      // "; X has 1209:000B" for each, for the verdict
};

// The whole run: a dry run of the front end (null in a survey of the devices
// alone) and the device search it made, or would have made.
struct probe_findings {
    const probe_subject &subject;
    const dry_run *run;     // null: no arguments, devices only
    const input_plan *plan; // null with run
    const listed_search &search;
};

// One build of the probe: the program it runs dry, and its back-end's part.
struct probe_build {
    const char *program; // "flasher", "flasher-win"
    const char *usage;   // what --help prints
    // The program's command line as its users' shell takes it.
    std::string (*command)(const std::string &program, const std::vector<std::string> &args);
    // The search the front end made, or one made now with the selectors it
    // would have read (run null: a survey of the devices alone).
    listed_search (*search)(const probe_subject &subject, const dry_run *run);
    // The lines that pin each usable device, where the report needs them.
    void (*print_pins)(std::FILE *out, const probe_build &build, const probe_findings &findings);
};

verdict judge(const probe_build &build, const probe_findings &findings);
void print_report(std::FILE *out, const probe_build &build, const probe_findings &findings,
                  const verdict &v);

// True when the program would search the devices at all: it does not stop at
// the command line or the input first.
bool searches(const probe_findings &findings);

// Where the program stops; null when it examines every device.
const listed_target *stop_device(const listed_search &search);

// What pins each device the program could use, in its order.
std::vector<std::string> usable_pins(const listed_search &search);
