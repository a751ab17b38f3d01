// Who holds interface 0 of a device, found without claiming it. flasher
// claims interface 0 and does not check that the claim took: when another
// program or a kernel driver holds it, flasher goes on and its erase fails.
// A dry run asks beforehand.
#pragma once

#include <libusb.h>

#include <string>

enum class holder_kind {
    unknown,       // cannot be told here (not Linux, or the node does not answer)
    none,          // free: flasher's claim would take it
    program,       // another program holds it through usbfs (another flasher, say)
    kernel_driver, // a kernel driver is bound to it
};

struct interface_holder {
    holder_kind kind = holder_kind::unknown;
    std::string driver; // the driver's name, for program ("usbfs") and kernel_driver
};

// Asks the kernel which driver has interface 0 of `device` (Linux: the
// usbfs GETDRIVER request on the device's node).
interface_holder find_interface_holder(libusb_device *device);

// True when flasher's claim of interface 0 would not take.
bool is_held(const interface_holder &holder);
