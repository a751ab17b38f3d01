// libusb's hotplug events for the devices of the build's device table,
// every entry of it: arrivals (those attached when the watch starts
// included) and departures, taken from libusb's own event handling inside
// the gang's poll loop. The gang waits on them; it never polls the bus.
#pragma once

#include "tools/gang/wait_set.h"

#include <libusb.h>

#include <string>
#include <vector>

struct hotplug_event {
    bool arrived;         // else it left
    std::string usb_path; // empty when it cannot be built
};

class hotplug_listener
{
  public:
    hotplug_listener() = default;
    hotplug_listener(const hotplug_listener &) = delete;
    hotplug_listener &operator=(const hotplug_listener &) = delete;

    // Registers for arrivals and departures of each entry's IDs. False with
    // a message when libusb has no hotplug here or refuses.
    bool start(std::string &error);

    // libusb's descriptors; and no sleep at all while events wait to be
    // taken (libusb may deliver them during any of its calls, such as the
    // reads that judge a board, after its descriptors were drained).
    void add_to(wait_set &set) const;

    // Lets libusb handle what woke it (without waiting) and returns the
    // events delivered since the last call, in order.
    std::vector<hotplug_event> take();

  private:
    static int LIBUSB_CALL on_event(libusb_context *, libusb_device *device,
                                    libusb_hotplug_event event, void *self);
    std::vector<hotplug_event> delivered_;
};
