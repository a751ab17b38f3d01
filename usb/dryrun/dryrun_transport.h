// The transport contract as every dry-run back-end keeps it. open_usb has the
// platform's dry run search the devices with its back-end's own steps
// (search_devices) and always connects, to a device that takes everything;
// flasher_dev_write records each message (sent_messages.h) and reports it
// sent in full. Linked in place of a real back-end, with a platform's dry run
// beside it, it lets the unchanged front end run its whole sequence without
// writing to any device, so that every decision the program would take can
// be read off afterwards: the search from the dry run, the messages from the
// recorder.
#pragma once

namespace dryrun
{

// Each platform's dry run defines it: makes its search with these selectors
// (each null when absent) and keeps it as the one the front end made.
void search_devices(const char *serial, const char *usb_path);

// Whether the front end searched at all: it does not when it stops at the
// command line or the input.
bool searched_at_all();

} // namespace dryrun
