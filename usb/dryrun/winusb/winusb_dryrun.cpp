#include "usb/dryrun/winusb/winusb_dryrun.h"

namespace dryrun_win
{

namespace
{

walk_result last_walk;

// flasher-win's steps with a device it takes, and what the dry run reads
// while the device is open; everything opened is closed again.
void open_and_close(listed_device &listed)
{
    open_taken_device(listed.device);
    if (listed.device.verdict == win_verdict::chosen)
        listed.pipes = read_pipes(listed.device.winusb);
    close_device(listed.device);
}

} // namespace

walk_result walk(const char *serial)
{
    walk_result result;
    result.listed = walk_listed_devices(serial, [&](HDEVINFO devices, const SP_DEVINFO_DATA &info,
                                                    const win_device &examined, bool stops) {
        if (examined.verdict == win_verdict::id_unreadable)
            return true;
        listed_device listed{examined, read_driver(devices, info), {}, {}};
        if (listed.device.verdict == win_verdict::taken)
            open_and_close(listed);
        if (listed.device.verdict == win_verdict::cannot_open && bound_to_winusb(listed.driver))
            listed.problem = read_problem(info.DevInst);
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
