// flasher-win's search, as the WinUSB dry run made it, in the terms of
// flasher-probe's report (report.h): every present device with the build's
// IDs in the order flasher-win examines them, the driver each is bound to and
// what flasher-win makes of it; devices of the vendor with another product
// ID; and the serial-argument text that pins each usable device.
#pragma once

#include "tools/probe/report.h"
#include "usb/dryrun/winusb/winusb_dryrun.h"

// flasher-probe.exe: the probe of flasher-win, over the WinUSB dry run.
extern const probe_build flasher_win_probe;

// The walk's devices with the serial of `subject` (run: the dry run, null in
// a survey of the devices alone).
listed_search win_listed_search(const dryrun_win::walk_result &walk, const probe_subject &subject,
                                const dry_run *run);

// The search the front end made, or one made now with the subject's serial.
listed_search search_winusb(const probe_subject &subject, const dry_run *run);

// The serial argument that selects each usable device alone, in a
// flasher-win line.
void print_serial_pins(std::FILE *out, const probe_build &build, const probe_findings &findings);

// The command that runs flasher-win on the same input (run: the dry run,
// null in a survey) with `serial` in place of any serial given.
std::string pinned_command(const probe_subject &subject, const dry_run *run,
                           const std::string &serial);
