// The search for the target device, one attached device at a time: the
// checks that decide whether a device is used, passed over, or ends the whole
// attempt. flasher's back-end makes them and claims the device they choose;
// the dry run of flasher-probe makes the very same checks and claims nothing.
#pragma once

#include <libusb.h>

#include <cstdint>
#include <memory>

constexpr int usb_path_size = 128;
constexpr int serial_size = 80;

// Where the checks left a device, in the order they are made.
enum class device_verdict {
    not_target,        // its IDs are not in the device table, or unreadable
    no_path,           // its usb path cannot be built, and a usb path was given
    path_differs,      // its usb path is not the one given
    config_unreadable, // its active configuration cannot be read
    no_interface,      // the configuration has no interface
    no_alt_setting,    // interface 0 has no alternate setting
    no_out_endpoint,   // interface 0, setting 0, has no OUT endpoint
    cannot_open,       // libusb_open failed (open_error says why)
    serial_differs,    // its serial is not the one given
    chosen,            // passed every check: open (handle), not claimed
};

struct device_examination {
    device_verdict verdict = device_verdict::not_target;
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    bool path_known = false; // path holds the usb path
    char path[usb_path_size] = {};
    bool serial_read = false; // opened and the serial read (serial_status says how)
    int serial_status = 0;    // the read's result: the length, or a libusb error
    char serial[serial_size] = {};
    int open_error = 0;                     // libusb_open's result, for cannot_open
    int out_endpoint = 0;                   // the last OUT endpoint of interface 0, setting 0
    libusb_device_handle *handle = nullptr; // open when chosen; the caller's
};

// True for a verdict that ends the whole attempt: no later device is
// examined. Every other verdict but chosen passes the device over.
bool ends_attempt(device_verdict verdict);

// True where flasher's search ends: the device is chosen, or it ends the
// attempt.
bool stops_search(device_verdict verdict);

// Makes the checks of one device with the selectors (each null when absent).
device_examination examine_device(libusb_device *device, const char *serial, const char *usb_path);

struct device_list_deleter {
    void operator()(libusb_device **list) const
    {
        libusb_free_device_list(list, 1);
    }
};

// The attached devices of libusb's default context, in list order.
struct attached_devices {
    std::unique_ptr<libusb_device *[], device_list_deleter> list;
    int count = 0;
};

// Starts libusb and lists the devices afresh. False when either fails.
bool list_attached_devices(attached_devices &devices);

// flasher's search: examines the attached devices in list order with the
// selectors and hands each to visit(device, examination, stops). `stops` is
// true for the one device where the search ends (stops_search). The walk
// goes on to the next device only while visit returns true, so flasher's
// own search returns false there and a survey may go past it. Devices that
// are not targets are handed over too (verdict not_target, never stopping).
// False when the devices cannot be listed.
template <typename Visit> bool walk_devices(const char *serial, const char *usb_path, Visit visit)
{
    attached_devices devices;
    if (!list_attached_devices(devices))
        return false;
    bool stopped = false;
    for (int i = 0; i < devices.count; ++i) {
        device_examination ex = examine_device(devices.list[i], serial, usb_path);
        const bool stops = !stopped && stops_search(ex.verdict);
        stopped = stopped || stops;
        if (!visit(devices.list[i], ex, stops))
            break;
    }
    return true;
}

// Writes the usb path of `device` into buffer (size bytes, terminator
// included). False when it does not fit.
bool get_dev_path(libusb_device *device, char *buffer, int size);
