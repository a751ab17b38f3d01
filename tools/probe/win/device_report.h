// What flasher-win makes of one device, in words: the outcome of its own
// steps and why, what its writes would meet, and what the user can do about
// it: bind it to WinUSB, close the program that holds it, mend what Device
// Manager shows, or give up on a composite device.
#pragma once

#include "tools/probe/report.h"
#include "usb/dryrun/winusb/winusb_dryrun.h"

// True for a device whose instance ID names a device table entry.
bool is_target(const dryrun_win::listed_device &device);

// For a device of the table's vendor with another product ID: the IDs its
// instance ID names ("1209:000A"); "" for any other device.
std::string other_product(const dryrun_win::listed_device &device);

// A target device as the report lists it, with the serial of `subject`; `run`
// is the dry run (null in a survey of the devices alone), whose first message
// a write failure would meet. Its pin is left to the caller.
listed_target describe_device(const dryrun_win::listed_device &device, const probe_subject &subject,
                              const dry_run *run);
