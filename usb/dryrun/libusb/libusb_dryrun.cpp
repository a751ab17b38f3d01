#include "usb/dryrun/libusb/libusb_dryrun.h"

#include "usb/transport.h"

namespace dryrun
{

namespace
{

walk_result last_walk;

bool is_table_vendor(std::uint16_t vid)
{
    for (const usb_id *id = usb_ids; id->vid != 0; ++id) {
        if (id->vid == vid)
            return true;
    }
    return false;
}

// A device of the table's vendor that flasher passes over for its product
// ID: worth naming, since a board presenting another ID is a common mix-up.
void note_other_product(libusb_device *device, device_examination ex, walk_result &result)
{
    if (ex.vid == 0 || !is_table_vendor(ex.vid))
        return;
    ex.path_known = get_dev_path(device, ex.path, usb_path_size);
    result.other_products.push_back(ex);
}

} // namespace

walk_result walk(const char *serial, const char *usb_path)
{
    walk_result result;
    result.listed = walk_devices(serial, usb_path,
                                 [&](libusb_device *device, device_examination &ex, bool stops) {
                                     if (ex.verdict == device_verdict::not_target) {
                                         note_other_product(device, ex, result);
                                         return true;
                                     }
                                     if (ex.handle != nullptr) {
                                         libusb_close(ex.handle);
                                         ex.handle = nullptr;
                                     }
                                     if (stops)
                                         result.stop = static_cast<int>(result.devices.size());
                                     examined_device examined{ex, {}};
                                     if (ex.verdict == device_verdict::chosen)
                                         examined.holder = find_interface_holder(device);
                                     result.devices.push_back(examined);
                                     return true;
                                 });
    return result;
}

// The kept search and the function that keeps it are the same few lines in
// the WinUSB dry run; one copy would need a template over both back-ends'
// search results.
void search_devices(const char *serial, const char *usb_path)
{
    last_walk = walk(serial, usb_path);
}

const walk_result &searched()
{
    return last_walk;
}

bool usable(const examined_device &device)
{
    return device.ex.verdict == device_verdict::chosen && !is_held(device.holder);
}

} // namespace dryrun
