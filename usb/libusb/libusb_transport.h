// What the libusb back-end offers beyond the transport contract.
#pragma once

#include <libusb.h>

// Writes the usb path of `device` into buffer (size bytes, terminator
// included). False when it does not fit.
bool get_dev_path(libusb_device *device, char *buffer, int size);
