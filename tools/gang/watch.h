// flasher-gang --watch: a station. It waits for libusb's hotplug events and
// flashes each board as it is plugged in, once per plug-in, keyed by its usb
// path; the port is armed again when the board leaves. It runs until INT,
// TERM or HUP, then stops the flashers still running and waits for them.
#pragma once

#include "tools/gang/supervise.h"

// How often a board that arrived busy (or that the user may not open) is
// judged again while it stays plugged in: both can change without a
// re-plug (another program lets go; a udev rule is applied).
constexpr auto retry_interval = std::chrono::milliseconds(2000);
// A board whose configuration cannot be read yet is looked at again sooner:
// the kernel announces a device before it has set its configuration.
constexpr auto first_config_retry = std::chrono::milliseconds(250);

// Runs the session; returns the exit status.
int watch(gang_run &run);
