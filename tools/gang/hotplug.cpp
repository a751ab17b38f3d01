#include "tools/gang/hotplug.h"

#include "usb/libusb/device_walk.h"
#include "usb/transport.h"

// Called by libusb from inside its event handling (or from the
// registration, for the devices attached already): only notes the event.
// The device is examined afterwards, outside libusb's event handling.
int LIBUSB_CALL hotplug_listener::on_event(libusb_context *, libusb_device *device,
                                           libusb_hotplug_event event, void *self)
{
    hotplug_event e{event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, {}};
    char path[usb_path_size];
    if (get_dev_path(device, path, usb_path_size))
        e.usb_path = path;
    static_cast<hotplug_listener *>(self)->delivered_.push_back(e);
    return 0; // stay registered
}

bool hotplug_listener::start(std::string &error)
{
    if (libusb_init(nullptr) != 0) {
        error = "libusb cannot be started";
        return false;
    }
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) == 0) {
        error = "libusb has no hotplug events on this system";
        return false;
    }
    for (const usb_id *id = usb_ids; id->vid != 0; ++id) {
        libusb_hotplug_callback_handle handle = 0;
        const int registered = libusb_hotplug_register_callback(
            nullptr,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_ENUMERATE, id->vid, id->pid, LIBUSB_HOTPLUG_MATCH_ANY, on_event, this,
            &handle);
        if (registered != LIBUSB_SUCCESS) {
            error = std::string("libusb refuses hotplug events: ") + libusb_strerror(registered);
            return false;
        }
    }
    return true;
}

void hotplug_listener::add_to(wait_set &set) const
{
    const libusb_pollfd **list = libusb_get_pollfds(nullptr);
    for (const libusb_pollfd **p = list; p != nullptr && *p != nullptr; ++p)
        set.watch((*p)->fd, (*p)->events);
    libusb_free_pollfds(list);
    if (!delivered_.empty())
        set.wake_now();
}

std::vector<hotplug_event> hotplug_listener::take()
{
    timeval none{0, 0};
    libusb_handle_events_timeout_completed(nullptr, &none, nullptr);
    std::vector<hotplug_event> events;
    events.swap(delivered_);
    return events;
}
