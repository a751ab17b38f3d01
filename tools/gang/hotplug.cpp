#include "tools/gang/hotplug.h"

#include "usb/libusb/device_walk.h"
#include "usb/transport.h"

#include <libusb.h>

namespace
{

std::vector<hotplug_event> delivered;

// Called by libusb from inside libusb_handle_events: only notes the event.
// The device is examined afterwards, outside libusb's event handling.
int LIBUSB_CALL on_hotplug(libusb_context *, libusb_device *device, libusb_hotplug_event event,
                           void *)
{
    hotplug_event e{event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, {}};
    char path[usb_path_size];
    if (get_dev_path(device, path, usb_path_size))
        e.usb_path = path;
    delivered.push_back(e);
    return 0; // stay registered
}

} // namespace

bool start_hotplug(std::string &error)
{
    if (libusb_init(nullptr) != 0) {
        error = "libusb cannot be started";
        return false;
    }
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) == 0) {
        error = "libusb has no hotplug events on this system";
        return false;
    }
    libusb_hotplug_callback_handle handle = 0;
    const int registered = libusb_hotplug_register_callback(
        nullptr,
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                          LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_ENUMERATE, usb_ids[0].vid, usb_ids[0].pid, LIBUSB_HOTPLUG_MATCH_ANY,
        on_hotplug, nullptr, &handle);
    if (registered != LIBUSB_SUCCESS) {
        error = std::string("libusb refuses hotplug events: ") + libusb_strerror(registered);
        return false;
    }
    return true;
}

std::size_t add_hotplug_fds(std::vector<pollfd> &fds)
{
    const libusb_pollfd **list = libusb_get_pollfds(nullptr);
    std::size_t added = 0;
    for (const libusb_pollfd **p = list; p != nullptr && *p != nullptr; ++p, ++added)
        fds.push_back({(*p)->fd, (*p)->events, 0});
    libusb_free_pollfds(list);
    return added;
}

std::vector<hotplug_event> take_hotplug_events()
{
    timeval none{0, 0};
    libusb_handle_events_timeout_completed(nullptr, &none, nullptr);
    std::vector<hotplug_event> events;
    events.swap(delivered);
    return events;
}
