// What the gang will do, decided before any device is touched, by flasher's
// own code: the plan for the input (the front end run dry on the snapshot)
// and every target device with what flasher, pinned to it, would make of it
// (the libusb back-end's own walk).
#pragma once

#include "tools/gang/board.h"
#include "tools/probe/plan.h"
#include "usb/dryrun/libusb/libusb_dryrun.h"

#include <string>
#include <vector>

struct input_survey {
    bool taken = false;  // flasher takes the input as it is
    std::string refusal; // why not, when not taken
    std::string warning; // bytes that would stay behind, when any
    input_plan plan;
};

// The front end's plan for `input` (the snapshot, or "erase").
input_survey survey_input(const std::string &input, bool erase_all);

struct device_survey {
    bool listed = false;
    std::vector<board> boards;               // every target device, in flasher's order
    std::string none_attached;               // when there is none: what is attached instead
    std::vector<std::string> other_products; // devices of the vendor with another product ID
};

// One device as a board: to be flashed, or not flashed with the reason and
// the remedy when flasher, pinned to it, could not use it.
board board_of(const dryrun::examined_device &device);

// Every target device of `walk` (made without selectors), usable or not,
// each judged as flasher pinned to it by its usb path would judge it.
device_survey survey_devices(const dryrun::walk_result &walk);
