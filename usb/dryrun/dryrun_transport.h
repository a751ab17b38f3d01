// The dry-run back-end of the transport contract. open_usb walks the
// attached devices with the libusb back-end's own checks (device_walk.h) but
// claims nothing and closes every device it opened; flasher_dev_write
// records each message and reports it sent in full. Linked in place of the
// libusb back-end, it lets the unchanged front end run its whole sequence
// without writing to any device, so that every decision flasher would take
// can be read off afterwards.
#pragma once

#include "usb/dryrun/sent_messages.h"
#include "usb/libusb/device_walk.h"

#include <string>
#include <vector>

namespace dryrun
{

// What one search found: every attached device with the table's IDs, in the
// order flasher examines them, and where flasher itself would stop.
struct walk_result {
    bool listed = false;                     // the device list was obtained
    std::vector<device_examination> devices; // handles closed
    // The first device that is chosen or ends the attempt: where flasher
    // stops. -1 when it examines them all without choosing one.
    int stop = -1;
};

// Makes the search with these selectors (each null when absent).
walk_result walk(const char *serial, const char *usb_path);

// The search made by the front end's open_usb (the last one, if several),
// and whether it made one at all.
const walk_result &searched();
bool searched_at_all();

} // namespace dryrun
