// The checks flasher makes of each attached device, in order: its IDs, its
// usb path, its configuration, interface 0 and its OUT endpoint, whether it
// opens, its serial.
#include "usb/libusb/device_walk.h"

#include "usb/libusb/usb_path.h"
#include "usb/transport.h"

#include <cstring>
#include <span>

namespace
{

constexpr int max_port_numbers = 8;

struct config_deleter {
    void operator()(libusb_config_descriptor *config) const
    {
        libusb_free_config_descriptor(config);
    }
};
using config_ptr = std::unique_ptr<libusb_config_descriptor, config_deleter>;

bool is_out_endpoint(std::uint8_t address)
{
    return (address & LIBUSB_ENDPOINT_IN) == 0;
}

// Checks interface 0, alternate setting 0, of the active configuration and
// finds its last OUT endpoint. chosen here means "passed": the device goes on
// to be opened.
device_verdict check_configuration(libusb_device *device, int &out_endpoint)
{
    libusb_config_descriptor *raw = nullptr;
    if (libusb_get_active_config_descriptor(device, &raw) != 0 || raw == nullptr)
        return device_verdict::config_unreadable;
    const config_ptr config(raw);

    if (config->bNumInterfaces < 1)
        return device_verdict::no_interface;
    const libusb_interface &first = config->interface[0];
    if (first.altsetting == nullptr)
        return device_verdict::no_alt_setting;

    out_endpoint = 0;
    const libusb_interface_descriptor &setting = first.altsetting[0];
    for (int i = 0; i < setting.bNumEndpoints; ++i) {
        const std::uint8_t address = setting.endpoint[i].bEndpointAddress;
        if (is_out_endpoint(address))
            out_endpoint = address;
    }
    return out_endpoint == 0 ? device_verdict::no_out_endpoint : device_verdict::chosen;
}

// Reads the serial string of an opened device. A failed read leaves the
// empty text.
void read_serial(libusb_device_handle *handle, std::uint8_t index, device_examination &ex)
{
    ex.serial[0] = '\0';
    ex.serial_status = libusb_get_string_descriptor_ascii(
        handle, index, reinterpret_cast<unsigned char *>(ex.serial), serial_size);
    if (ex.serial_status < 0)
        ex.serial[0] = '\0';
    ex.serial_read = true;
}

} // namespace

bool ends_attempt(device_verdict verdict)
{
    return verdict == device_verdict::no_interface || verdict == device_verdict::no_alt_setting ||
           verdict == device_verdict::no_out_endpoint;
}

bool stops_search(device_verdict verdict)
{
    return verdict == device_verdict::chosen || ends_attempt(verdict);
}

device_examination examine_device(libusb_device *device, const char *serial, const char *usb_path)
{
    device_examination ex;
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(device, &desc) != 0)
        return ex;
    ex.vid = desc.idVendor;
    ex.pid = desc.idProduct;
    if (match_usb_ids(desc.idVendor, desc.idProduct) == 0)
        return ex;

    ex.path_known = get_dev_path(device, ex.path, usb_path_size);
    if (!ex.path_known && usb_path != nullptr) {
        ex.verdict = device_verdict::no_path;
        return ex;
    }
    if (usb_path != nullptr && std::strcmp(usb_path, ex.path) != 0) {
        ex.verdict = device_verdict::path_differs;
        return ex;
    }

    ex.verdict = check_configuration(device, ex.out_endpoint);
    if (ex.verdict != device_verdict::chosen)
        return ex;

    libusb_device_handle *handle = nullptr;
    ex.open_error = libusb_open(device, &handle);
    if (ex.open_error != 0 || handle == nullptr) {
        ex.verdict = device_verdict::cannot_open;
        return ex;
    }

    read_serial(handle, desc.iSerialNumber, ex);
    if (serial != nullptr && std::strcmp(serial, ex.serial) != 0) {
        libusb_close(handle);
        ex.verdict = device_verdict::serial_differs;
        return ex;
    }
    ex.handle = handle;
    return ex;
}

bool list_attached_devices(attached_devices &devices)
{
    if (libusb_init(nullptr) != 0)
        return false;
    libusb_device **raw = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &raw);
    if (count < 0)
        return false;
    devices.list.reset(raw);
    devices.count = static_cast<int>(count);
    return true;
}

bool get_dev_path(libusb_device *device, char *buffer, int size)
{
    std::uint8_t ports[max_port_numbers];
    int count = libusb_get_port_numbers(device, ports, max_port_numbers);
    if (count < 0)
        count = 0;
    return format_usb_path(libusb_get_bus_number(device),
                           std::span<const std::uint8_t>(ports, static_cast<std::size_t>(count)),
                           buffer, size);
}
