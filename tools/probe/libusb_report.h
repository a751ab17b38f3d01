// flasher's libusb back-end's search in the terms of flasher-probe's report
// (report.h): every device with the build's IDs, what flasher makes of it and
// the usb path that pins it; and the FLASHER_USBPATH lines that pin each
// usable device.
#pragma once

#include "tools/probe/report.h"
#include "usb/dryrun/libusb/libusb_dryrun.h"

// flasher-probe: the probe of flasher, over the libusb dry run.
extern const probe_build flasher_probe;

// The walk's devices with the selectors of `subject`.
listed_search libusb_listed_search(const dryrun::walk_result &walk, const probe_subject &subject);

// The search the front end made, or one made now with the subject's
// selectors.
listed_search search_libusb(const probe_subject &subject, const dry_run *run);

// The FLASHER_USBPATH lines that pin each usable device, when flasher on its
// own would not make the choice plainly: several usable, or it fails first.
void print_usb_path_pins(std::FILE *out, const probe_build &build, const probe_findings &findings);
