// What pins a device for flasher-win. It has no usb path and ignores
// FLASHER_USBPATH; its serial argument selects the first device whose
// instance ID contains it. A text that only one device's instance ID
// contains therefore selects that device alone.
#pragma once

#include "usb/dryrun/winusb/winusb_dryrun.h"

#include <cstddef>
#include <string>

// The text that, given as flasher-win's serial argument, selects
// walk.devices[index] alone: no other device with the table's IDs has it in
// its instance ID. The last part of the instance ID (the serial, for devices
// that report one) when it does; else the shortest part that does, the
// latest of equal length. Empty when there is none.
std::string pin_text(const dryrun_win::walk_result &walk, std::size_t index);
