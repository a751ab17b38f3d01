// What the gang will do, decided before any device is touched, by flasher's
// own code: the plan for the input (the front end run dry on the snapshot)
// and every target device with what flasher, pinned to it, would make of it
// (the libusb back-end's own walk, made by that same dry run).
#pragma once

#include "tools/gang/board.h"
#include "tools/gang/verdict.h"
#include "tools/probe/plan.h"
#include "usb/dryrun/libusb/libusb_dryrun.h"

#include <string>
#include <vector>

// "firmware", "parameters" or "erase": the mode as the record names it.
const char *mode_name(run_mode mode);

struct input_survey {
    bool taken = false;  // flasher takes the input as it is
    std::string refusal; // why not, when not taken
    std::string warning; // bytes that would stay behind, when any
    input_plan plan;
    dryrun::walk_result devices; // the search the dry run made: every attached device
};

// The front end's plan for `input` (the snapshot, or "erase"), and the
// devices its search found.
input_survey survey_input(const std::string &input, bool erase_all);

// What flasher is to send, for the verdict.
flash_plan flash_plan_of(const input_plan &plan);

struct device_survey {
    bool listed = false;
    std::vector<survey_facts> boards;        // every target device, in flasher's order
    std::string none_attached;               // when there is none: what is attached instead
    std::vector<std::string> other_products; // devices of the vendor with another product ID
};

// One device as flasher, pinned to it by its usb path, would find it: to be
// flashed, or not, with the reason and the remedy.
survey_facts facts_of(const dryrun::examined_device &device);

// Every target device of `walk` (made without selectors), usable or not.
device_survey survey_devices(const dryrun::walk_result &walk);

// "1209:000A" for a table of one entry, "1209:000A or 1209:000C" for two:
// what this build looks for.
std::string table_ids_text();
