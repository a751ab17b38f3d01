// The transport over libusb-1.0: finds the target device by its IDs, narrows
// by usb path and serial, claims interface 0 and writes bulk OUT transfers.
#include "usb/libusb/libusb_transport.h"

#include "usb/libusb/usb_path.h"
#include "usb/transport.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace
{

// The open device and the endpoint the messages go to. Set by open_usb and
// kept until the process exits.
libusb_device_handle *lusb = nullptr;
int flash_out_ep = 0;

constexpr int usb_path_size = 128;
constexpr int max_port_numbers = 8;
constexpr int serial_size = 80;

struct device_list_deleter {
    void operator()(libusb_device **list) const
    {
        libusb_free_device_list(list, 1);
    }
};
using device_list = std::unique_ptr<libusb_device *[], device_list_deleter>;

struct config_deleter {
    void operator()(libusb_config_descriptor *config) const
    {
        libusb_free_config_descriptor(config);
    }
};
using config_ptr = std::unique_ptr<libusb_config_descriptor, config_deleter>;

enum class verdict {
    go_on,       // this check passed; go on with the next one
    next_device, // this device is not the one; look at the next
    fail,        // the attempt fails; later devices are not examined
    chosen,      // the device is open, claimed and in lusb
};

bool is_out_endpoint(std::uint8_t address)
{
    return (address & LIBUSB_ENDPOINT_IN) == 0;
}

// Checks interface 0, alternate setting 0, of the active configuration and
// picks its last OUT endpoint into flash_out_ep.
verdict check_configuration(libusb_device *device)
{
    libusb_config_descriptor *raw = nullptr;
    if (libusb_get_active_config_descriptor(device, &raw) != 0 || raw == nullptr)
        return verdict::next_device;
    const config_ptr config(raw);

    if (config->bNumInterfaces < 1)
        return verdict::fail;
    const libusb_interface &first = config->interface[0];
    if (first.altsetting == nullptr)
        return verdict::fail;

    flash_out_ep = 0;
    const libusb_interface_descriptor &setting = first.altsetting[0];
    for (int i = 0; i < setting.bNumEndpoints; ++i) {
        const std::uint8_t address = setting.endpoint[i].bEndpointAddress;
        if (is_out_endpoint(address))
            flash_out_ep = address;
    }
    return flash_out_ep == 0 ? verdict::fail : verdict::go_on;
}

// Reads the serial string of an opened device and prints what was read. A
// failed read leaves the empty text.
void read_serial(libusb_device_handle *handle, std::uint8_t index, char (&serial)[serial_size])
{
    serial[0] = '\0';
    const int result = libusb_get_string_descriptor_ascii(
        handle, index, reinterpret_cast<unsigned char *>(serial), serial_size);
    if (result < 0)
        serial[0] = '\0';
    std::printf("string desc %d %s\n", result, serial);
}

verdict examine(libusb_device *device, const char *serial, const char *usb_path)
{
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(device, &desc) != 0)
        return verdict::next_device;
    if (match_usb_ids(desc.idVendor, desc.idProduct) == 0)
        return verdict::next_device;

    char path[usb_path_size];
    if (get_dev_path(device, path, usb_path_size))
        std::printf("Path: %s\n", path);
    else if (usb_path != nullptr)
        return verdict::next_device;
    if (usb_path != nullptr && std::strcmp(usb_path, path) != 0)
        return verdict::next_device;

    if (const verdict config = check_configuration(device); config != verdict::go_on)
        return config;

    libusb_device_handle *handle = nullptr;
    if (libusb_open(device, &handle) != 0 || handle == nullptr)
        return verdict::next_device;

    char device_serial[serial_size];
    read_serial(handle, desc.iSerialNumber, device_serial);
    if (serial != nullptr && std::strcmp(serial, device_serial) != 0) {
        libusb_close(handle);
        return verdict::next_device;
    }

    // The claim's result is not judged here: a write that fails because of
    // it is reported by the sequence that made it.
    libusb_claim_interface(handle, 0);
    lusb = handle;
    return verdict::chosen;
}

} // namespace

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

bool open_usb(const char *serial, const char *usb_path)
{
    if (libusb_init(nullptr) != 0)
        return false;
    libusb_device **raw = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &raw);
    if (count < 0)
        return false;
    const device_list devices(raw);

    for (ssize_t i = 0; i < count; ++i) {
        switch (examine(devices[i], serial, usb_path)) {
        case verdict::chosen:
            return true;
        case verdict::fail:
            return false;
        case verdict::go_on:
        case verdict::next_device:
            break;
        }
    }
    return false;
}

int flasher_dev_write(const unsigned char *buffer, int length, unsigned int timeout_ms)
{
    int transferred = 0;
    // libusb takes a non-const buffer for both directions; an OUT transfer
    // only reads it.
    const int result =
        libusb_bulk_transfer(lusb, static_cast<unsigned char>(flash_out_ep),
                             const_cast<unsigned char *>(buffer), length, &transferred, timeout_ms);
    if (result == LIBUSB_ERROR_TIMEOUT)
        return 0;
    if (result != 0)
        return -1;
    return transferred;
}
