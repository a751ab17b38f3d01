// What flasher makes of one device, in words: the outcome its checks give,
// why, and what the user can do about it. flasher-probe prints these in its
// device list; flasher-gang gives the same reasons for a board it does not
// flash.
#pragma once

#include "tools/probe/outcome.h"
// ids_text, which the texts below are made of and the callers need too.
#include "tools/probe/words.h"
#include "usb/dryrun/libusb/libusb_dryrun.h"

#include <string>

// The selectors the search was made with (each null when absent).
struct search_selectors {
    const char *serial = nullptr;
    const char *usb_path = nullptr;
};

// The outcome of a device: chosen, held (write_fails: flasher would take it,
// but interface 0 is held and its erase fails), or passed over or ending the
// attempt, as the walk's ends_attempt says.
device_outcome describe_outcome(const dryrun::examined_device &device,
                                const search_selectors &selectors);

// The device's usb path, or what stands in for it.
std::string device_name(const device_examination &ex);

// "serial "X"", or why it is not known.
std::string serial_text(const device_examination &ex);

// "1-3 has 1209:0002; this flasher looks for 1209:000A".
std::string other_product_text(const device_examination &ex);
