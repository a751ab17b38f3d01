// What flasher makes of one device, in words: the outcome its checks give,
// why, and what the user can do about it. flasher-probe prints these in its
// device list; flasher-gang gives the same reasons for a board it does not
// flash.
#pragma once

#include "usb/dryrun/dryrun_transport.h"

#include <string>

// How the search ends at a device, or passes it.
enum class outcome_kind {
    chosen,        // flasher uses it
    held,          // flasher would take it, but interface 0 is held: its erase fails
    passed_over,   // flasher goes on to the next device
    fails_attempt, // the whole attempt fails here
};

struct device_outcome {
    outcome_kind kind = outcome_kind::passed_over;
    std::string reason; // why, for every kind but chosen
    std::string advice; // what to do about it; empty when there is nothing to say
};

// The selectors the search was made with (each null when absent).
struct search_selectors {
    const char *serial = nullptr;
    const char *usb_path = nullptr;
};

device_outcome describe_outcome(const dryrun::examined_device &device,
                                const search_selectors &selectors);

// The device's usb path, or what stands in for it.
std::string device_name(const device_examination &ex);

// "serial "X"", or why it is not known.
std::string serial_text(const device_examination &ex);

// "1209:000A".
std::string ids_text(std::uint16_t vid, std::uint16_t pid);

// "1-3 has 1209:0002; this flasher looks for 1209:000A".
std::string other_product_text(const device_examination &ex);
