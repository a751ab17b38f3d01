// Reads a device's descriptors from the host side and prints what it found,
// one fact a line: interface 0 and its endpoints as the host enumerated them
// (the addresses the controller gave them), then the Microsoft OS 1.0
// descriptors the way a Windows host reads them when it first sees a device:
// the OS string descriptor (index 0xEE: signature and vendor code) and the
// extended compat ID descriptor fetched with that vendor code. The rig
// compares the lines with what flasher and a Windows host need.
//
// Usage: os_desc_check VID PID   (hex)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <libusb-1.0/libusb.h>

namespace
{

constexpr int timeout_ms = 1000;

int print_interface(libusb_device *dev)
{
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_active_config_descriptor(dev, &config) != 0) {
        std::printf("no active configuration\n");
        return 1;
    }
    const libusb_interface_descriptor &alt = config->interface[0].altsetting[0];
    std::printf("interface %u: class 0x%02x, %u endpoints\n", alt.bInterfaceNumber,
                alt.bInterfaceClass, alt.bNumEndpoints);
    for (int i = 0; i < alt.bNumEndpoints; ++i) {
        const libusb_endpoint_descriptor &ep = alt.endpoint[i];
        std::printf("endpoint 0x%02x: %s, type %u, %u-byte packets\n", ep.bEndpointAddress,
                    ep.bEndpointAddress & 0x80 ? "IN" : "OUT", ep.bmAttributes & 3,
                    ep.wMaxPacketSize);
    }
    libusb_free_config_descriptor(config);
    return 0;
}

// Index 0xEE, language 0: 18 bytes, "MSFT100" in UTF-16LE, the vendor code,
// a flags byte.
int read_os_string(libusb_device_handle *h, unsigned char &vendor_code)
{
    unsigned char d[255] = {};
    const int n = libusb_get_string_descriptor(h, 0xEE, 0, d, sizeof d);
    if (n < 0) {
        std::printf("os string: none (%s)\n", libusb_error_name(n));
        return 1;
    }
    char sig[8] = {};
    for (int i = 0; i < 7 && 2 + 2 * i < n; ++i)
        sig[i] = static_cast<char>(d[2 + 2 * i]);
    vendor_code = n >= 17 ? d[16] : 0;
    std::printf("os string: length %d type %d signature %s vendor code 0x%02x\n", d[0], d[1], sig,
                vendor_code);
    return 0;
}

// Vendor request to the device, wIndex 4: a 16-byte header, then 24 bytes
// per function.
int read_compat_id(libusb_device_handle *h, unsigned char vendor_code)
{
    unsigned char d[256] = {};
    const int n = libusb_control_transfer(h, 0xC0 /* device-to-host, vendor, device */, vendor_code,
                                          0, 4, d, sizeof d, timeout_ms);
    if (n < 16) {
        std::printf("compat id: none (%s)\n", n < 0 ? libusb_error_name(n) : "short");
        return 1;
    }
    const unsigned length = d[0] | d[1] << 8 | d[2] << 16 | static_cast<unsigned>(d[3]) << 24;
    std::printf("compat id: length %u version 0x%04x index %u sections %u\n", length,
                d[4] | d[5] << 8, d[6] | d[7] << 8, d[8]);
    for (int at = 16; at + 24 <= n; at += 24) {
        char id[9] = {};
        char sub[9] = {};
        for (int i = 0; i < 8; ++i) {
            id[i] = static_cast<char>(d[at + 2 + i]);
            sub[i] = static_cast<char>(d[at + 10 + i]);
        }
        std::printf("compat id: interface %u compatible \"%s\" sub \"%s\"\n", d[at], id, sub);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "Usage: %s VID PID\n", argv[0]);
        return 1;
    }
    const auto vid = static_cast<std::uint16_t>(std::strtoul(argv[1], nullptr, 16));
    const auto pid = static_cast<std::uint16_t>(std::strtoul(argv[2], nullptr, 16));
    if (libusb_init(nullptr) != 0)
        return 1;
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &list);
    libusb_device_handle *h = nullptr;
    int status = LIBUSB_ERROR_NOT_FOUND;
    for (ssize_t i = 0; i < count && !h; ++i) {
        libusb_device_descriptor dd{};
        if (libusb_get_device_descriptor(list[i], &dd) == 0 && dd.idVendor == vid &&
            dd.idProduct == pid)
            status = libusb_open(list[i], &h);
    }
    if (!h) {
        std::printf("no device %04x:%04x (%s)\n", vid, pid, libusb_error_name(status));
        return 1;
    }
    if (print_interface(libusb_get_device(h)) != 0)
        return 1;
    unsigned char vendor_code = 0;
    if (read_os_string(h, vendor_code) != 0)
        return 1;
    return read_compat_id(h, vendor_code);
}
