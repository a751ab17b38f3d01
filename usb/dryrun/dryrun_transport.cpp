#include "usb/dryrun/dryrun_transport.h"

#include "usb/transport.h"

namespace dryrun
{

namespace
{

walk_result last_walk;
bool walked = false;

} // namespace

walk_result walk(const char *serial, const char *usb_path)
{
    walk_result result;
    attached_devices devices;
    result.listed = list_attached_devices(devices);
    for (int i = 0; result.listed && i < devices.count; ++i) {
        device_examination ex = examine_device(devices.list[i], serial, usb_path);
        if (ex.verdict == device_verdict::not_target)
            continue;
        if (ex.handle != nullptr) {
            libusb_close(ex.handle);
            ex.handle = nullptr;
        }
        const bool stops = ex.verdict == device_verdict::chosen || ends_attempt(ex.verdict);
        if (stops && result.stop < 0)
            result.stop = static_cast<int>(result.devices.size());
        result.devices.push_back(ex);
    }
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

} // namespace dryrun

// The search is recorded and the connection always made, to a device that
// takes everything: the sequence runs to its end whatever was found, and the
// caller reads off both.
bool open_usb(const char *serial, const char *usb_path)
{
    dryrun::last_walk = dryrun::walk(serial, usb_path);
    dryrun::walked = true;
    return true;
}

int flasher_dev_write(const unsigned char *buffer, int length, unsigned int timeout_ms)
{
    return dryrun::record_sent(buffer, length, timeout_ms);
}
