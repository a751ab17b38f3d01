// The dry run of flasher-win's WinUSB back-end: the search of the present USB
// devices with flasher-win's own steps (device_walk.h), each device those
// steps would take opened (CreateFile, WinUsb_Initialize, the pipe query) and
// closed again, and what it reads beside them (readings.h): the driver each
// device is bound to, every pipe of a device it opened, the Device Manager
// status of a WinUSB device that cannot be opened. With the transport every
// dry run shares (dryrun_transport.h), it is the back-end flasher-probe.exe
// runs the front end on.
#pragma once

#include "usb/dryrun/dryrun_transport.h"
#include "usb/dryrun/sent_messages.h"
#include "usb/dryrun/winusb/readings.h"
#include "usb/winusb/device_walk.h"

#include <vector>

namespace dryrun_win
{

struct listed_device {
    win_device device; // handles closed
    driver_reading driver;
    pipe_reading pipes;      // read when it was opened: chosen
    problem_reading problem; // read when it is bound to WinUSB and cannot be opened
};

// One search: every listed device whose instance ID could be read, in
// SetupAPI's order, and where flasher-win would stop.
struct walk_result {
    bool listed = false; // the device list was obtained
    std::vector<listed_device> devices;
    // The first device whose verdict ends the search: flasher-win goes no
    // further. -1 when it passes every device over. Devices after it were
    // examined all the same, for what they would come to on their own.
    int stop = -1;
};

// Makes the search with this serial (null when absent).
walk_result walk(const char *serial);

// The search made by the front end's open_usb (the last one, if several);
// dryrun::searched_at_all() tells whether it made one.
const walk_result &searched();

} // namespace dryrun_win
