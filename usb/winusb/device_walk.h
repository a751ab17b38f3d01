// The search for the target device on Windows, one listed device at a time,
// and the opening of the device flasher-win takes: what each device came
// to. flasher-win's back-end keeps the device it opens; the dry run of
// flasher-probe.exe takes the very same steps, closes what it opened and
// writes nothing.
#pragma once

#include "usb/winusb/device_id.h"
#include "usb/winusb/win_api.h"

// Every write goes to this pipe, whatever pipes the steps below found: the
// device must have it as a bulk OUT pipe.
constexpr UCHAR flash_out_pipe = 0x02;

// Where the steps left a device, in the order they are taken.
enum class win_verdict {
    id_unreadable,    // CM_Get_Device_IDA failed: passed over
    not_target,       // its instance ID names no device table entry: passed over
    serial_not_in_id, // a table device whose instance ID lacks the serial: passed over
    path_too_long,    // its interface path would not fit: passed over
    taken,            // flasher-win takes it: the search ends, the open comes next
    cannot_open,      // CreateFileA failed (error says why)
    winusb_failed,    // WinUsb_Initialize failed (error says why)
    no_out_pipe,      // neither pipe index 0 nor 1 of setting 0 is an OUT pipe
    chosen,           // open, WinUSB started, an OUT pipe found: the writes follow
};

struct win_device {
    win_verdict verdict = win_verdict::id_unreadable;
    char instance_id[device_id_size] = {};
    char path[interface_path_size] = {}; // built once the ID has matched
    DWORD error = 0;                     // GetLastError() of the call that failed
    HANDLE file = INVALID_HANDLE_VALUE;  // both open when chosen: the caller's
    WINUSB_INTERFACE_HANDLE winusb = nullptr;
};

// True from `taken` on: flasher-win takes the first device whose ID passes
// and goes no further, whether or not it can then use it.
bool ends_search(win_verdict verdict);

// True for a verdict that ends the whole attempt: the search ends at the
// device, and flasher-win cannot use it.
bool ends_attempt(win_verdict verdict);

// Lists the present USB devices afresh, as every attempt does. False when
// the list cannot be had.
bool list_present_devices(HDEVINFO &devices);

// Listed device number `index` into info (whose cbSize is set); false past
// the last.
bool next_listed_device(HDEVINFO devices, DWORD index, SP_DEVINFO_DATA &info);

// The checks of one listed device's instance ID with the serial (null when
// absent): taken, or why it is passed over.
win_device examine_listed_device(const SP_DEVINFO_DATA &info, const char *serial);

// flasher-win's search: lists the present USB devices and examines them in
// SetupAPI's order with the serial, handing each to
// visit(devices, info, device, stops) while the list is alive. `stops` is
// true for the one device where the search ends (ends_search): the one
// flasher-win takes. The walk goes on to the next device only while visit
// returns true, so flasher-win's own search returns false there and a survey
// may go past it. The list is destroyed before the walk returns. False when
// the devices cannot be listed.
template <typename Visit> bool walk_listed_devices(const char *serial, Visit visit)
{
    HDEVINFO devices = nullptr;
    if (!list_present_devices(devices))
        return false;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    bool stopped = false;
    for (DWORD index = 0; next_listed_device(devices, index, info); ++index) {
        const win_device device = examine_listed_device(info, serial);
        const bool stops = !stopped && ends_search(device.verdict);
        stopped = stopped || stops;
        if (!visit(devices, info, device, stops))
            break;
    }
    SetupDiDestroyDeviceInfoList(devices);
    return true;
}

// Opens a taken device: chosen with both handles open, or the failure with
// everything the attempt opened closed again.
void open_taken_device(win_device &device);

// Gives back what is open of the device.
void close_device(win_device &device);
