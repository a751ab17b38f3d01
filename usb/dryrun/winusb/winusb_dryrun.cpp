#include "usb/dryrun/winusb/winusb_dryrun.h"

namespace dryrun_win
{

namespace
{

walk_result last_walk;

driver_reading read_driver(HDEVINFO devices, SP_DEVINFO_DATA info)
{
    driver_reading reading;
    DWORD type = 0;
    const DWORD room = sizeof reading.service - 1; // the last byte stays the terminator
    if (SetupDiGetDeviceRegistryPropertyA(devices, &info, SPDRP_SERVICE, &type,
                                          reinterpret_cast<PBYTE>(reading.service), room,
                                          nullptr)) {
        reading.state = reading.service[0] != '\0' ? driver_state::bound : driver_state::none;
        return reading;
    }
    reading.service[0] = '\0';
    reading.error = GetLastError();
    // Windows' answer for a property the device does not have.
    reading.state =
        reading.error == ERROR_INVALID_DATA ? driver_state::none : driver_state::unreadable;
    return reading;
}

} // namespace

walk_result walk(const char *serial)
{
    walk_result result;
    result.listed = walk_listed_devices(serial, [&](HDEVINFO devices, const SP_DEVINFO_DATA &info,
                                                    const win_device &examined, bool stops) {
        if (examined.verdict == win_verdict::id_unreadable)
            return true;
        listed_device listed{examined, read_driver(devices, info)};
        if (listed.device.verdict == win_verdict::taken) {
            open_taken_device(listed.device);
            close_device(listed.device);
        }
        if (stops)
            result.stop = static_cast<int>(result.devices.size());
        result.devices.push_back(listed);
        return true;
    });
    return result;
}

const walk_result &searched()
{
    return last_walk;
}

} // namespace dryrun_win

// The kept search and the function that keeps it are the same few lines in
// the libusb dry run; one copy would need a template over both back-ends'
// search results. flasher-win has no usb path to compare.
void dryrun::search_devices(const char *serial, const char * /*usb_path*/)
{
    dryrun_win::last_walk = dryrun_win::walk(serial);
}
