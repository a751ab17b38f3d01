// Devices that arrive and leave while the command runs (arrive=, leave=).
#pragma once

#include "tools/vdev/vdev.h"

#include <glib.h>

#include <vector>

namespace vdev
{

// Makes sure this process can send uevents when some device arrives or
// leaves: it starts itself again, once, under umockdev's preload. Returns -1
// to go on, else the exit status (after a message).
int preload_for_uevents(char **argv);

// A new testbed: under $TMPDIR (or /tmp) as usual; when a device arrives
// or leaves and TMPDIR is not set, under /dev/shm if there is one.
UMockdevTestbed *make_testbed();

// Plays the steps on the default main context, timed from `start_us`
// (monotonic µs, the command's start), until stopped.
struct hotplug_timeline {
    UMockdevTestbed *testbed = nullptr;
    std::vector<hotplug_step> steps;
    std::size_t next = 0;
    gint64 start_us = 0;
    guint source = 0;
};

void start_timeline(hotplug_timeline &t, UMockdevTestbed *testbed, gint64 start_us);
void stop_timeline(hotplug_timeline &t);

} // namespace vdev
