// The dry run of flasher's libusb back-end: the search of the attached
// devices with the back-end's own steps (device_walk.h), claiming nothing and
// closing every device it opened, and who holds interface 0 of each device
// those steps would use. With the transport every dry run shares
// (dryrun_transport.h), it is the back-end flasher-probe and flasher-gang run
// the front end on.
#pragma once

#include "usb/dryrun/dryrun_transport.h"
#include "usb/dryrun/libusb/interface_holder.h"
#include "usb/dryrun/sent_messages.h"
#include "usb/libusb/device_walk.h"

#include <vector>

namespace dryrun
{

// One target device as the search left it.
struct examined_device {
    device_examination ex; // flasher's checks; the handle closed
    // Who holds interface 0: asked of every device that passes the checks.
    interface_holder holder;
};

// What one search found: every attached device with the table's IDs, in the
// order flasher examines them, and where flasher itself would stop.
struct walk_result {
    bool listed = false;                  // the device list was obtained
    std::vector<examined_device> devices; // the survey goes past the stop
    // The first device that is chosen or ends the attempt: where flasher
    // stops. -1 when it examines them all without choosing one.
    int stop = -1;
    // Devices of a vendor in the device table with another product ID: its
    // vid, pid and usb path (when it can be built), nothing else examined.
    std::vector<device_examination> other_products;
};

// Makes the search with these selectors (each null when absent).
walk_result walk(const char *serial, const char *usb_path);

// The search made by the front end's open_usb (the last one, if several);
// searched_at_all() tells whether it made one.
const walk_result &searched();

// True when the device passes every check of flasher's and its interface 0
// is free for flasher's claim, as far as can be told: flasher, pinned to it,
// would use it and its writes would go through.
bool usable(const examined_device &device);

} // namespace dryrun
