// The dry-run back-end of the transport contract. open_usb walks the
// attached devices with the libusb back-end's own search (device_walk.h) but
// claims nothing and closes every device it opened; flasher_dev_write
// records each message and reports it sent in full. Linked in place of the
// libusb back-end, it lets the unchanged front end run its whole sequence
// without writing to any device, so that every decision flasher would take
// can be read off afterwards.
#pragma once

#include "usb/dryrun/interface_holder.h"
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

// The search made by the front end's open_usb (the last one, if several),
// and whether it made one at all.
const walk_result &searched();
bool searched_at_all();

// True when the device passes every check of flasher's and its interface 0
// is free for flasher's claim, as far as can be told: flasher, pinned to it,
// would use it and its writes would go through.
bool usable(const examined_device &device);

} // namespace dryrun
