// libusb's hotplug events for the devices of the build's IDs: arrivals
// (those attached when the watch starts included) and departures, taken
// from libusb's own event handling inside the supervisor's poll loop. The
// gang waits on them; it never polls the bus.
#pragma once

#include <poll.h>
#include <string>
#include <vector>

struct hotplug_event {
    bool arrived;         // else it left
    std::string usb_path; // empty when it cannot be built
};

// Registers for arrivals and departures of the table's first entry's IDs.
// False with a message when libusb has no hotplug here or refuses.
bool start_hotplug(std::string &error);

// Appends libusb's descriptors to a poll set; returns how many.
std::size_t add_hotplug_fds(std::vector<pollfd> &fds);

// Lets libusb handle what woke it (without waiting) and returns the events
// it delivered, in order.
std::vector<hotplug_event> take_hotplug_events();
