#include "usb/winusb/winusb_dryrun.h"

#include "usb/transport.h"

namespace dryrun_win
{

namespace
{

walk_result last_walk;
bool walked = false;

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
    HDEVINFO devices = nullptr;
    result.listed = list_present_devices(devices);
    if (!result.listed)
        return result;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD index = 0; next_listed_device(devices, index, info); ++index) {
        listed_device listed{examine_listed_device(info, serial), {}};
        win_device &device = listed.device;
        if (device.verdict == win_verdict::id_unreadable)
            continue;
        listed.driver = read_driver(devices, info);
        if (device.verdict == win_verdict::taken) {
            open_taken_device(device);
            close_device(device);
        }
        if (ends_search(device.verdict) && result.stop < 0)
            result.stop = static_cast<int>(result.devices.size());
        result.devices.push_back(listed);
    }
    SetupDiDestroyDeviceInfoList(devices);
    return result;
}

const walk_result &searched()
{
    return last_walk;
}

bool searched_at_all()
{
    return walked;
}

} // namespace dryrun_win

// The search is recorded and the connection always made, to a device that
// takes everything: the sequence runs to its end whatever was found, and the
// caller reads off both.
bool open_usb(const char *serial, const char * /*usb_path: not used on Windows*/)
{
    dryrun_win::last_walk = dryrun_win::walk(serial);
    dryrun_win::walked = true;
    return true;
}

int flasher_dev_write(const unsigned char *buffer, int length, unsigned int timeout_ms)
{
    return dryrun::record_sent(buffer, length, timeout_ms);
}
