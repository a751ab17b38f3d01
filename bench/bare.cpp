// flasher-bare: the floor that flasher is measured against. It opens the
// same device with libusb and sends the same writes as flasher does for a
// firmware image (erase message, two zero bytes, pages as a header and 32
// chunks of 64 bytes, the trailer under the same rule), one
// libusb_bulk_transfer after the other. Besides that it only reads the image,
// one page at a time, and pauses 4 s after the erase as the device needs.
//
// Usage: flasher-bare IMAGE
#include <libusb.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#if !defined(BARE_USB_VID) || !defined(BARE_USB_PID)
#error "the build must define BARE_USB_VID and BARE_USB_PID"
#endif

namespace
{

constexpr int header_size = 11;
constexpr int page_size = 2048;
constexpr int chunk_size = 64;
constexpr int trailer_size = 16;
constexpr unsigned page_limit = 240;

libusb_device_handle *device = nullptr;
unsigned char out_ep = 0;

bool write_out(const unsigned char *data, int length, unsigned int timeout_ms)
{
    int done = 0;
    return libusb_bulk_transfer(device, out_ep, const_cast<unsigned char *>(data), length, &done,
                                timeout_ms) == 0 &&
           done == length;
}

// The last OUT endpoint of interface 0, alternate setting 0, as flasher picks.
unsigned char find_out_endpoint(libusb_device *dev)
{
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_active_config_descriptor(dev, &config) != 0)
        return 0;
    unsigned char found = 0;
    if (config->bNumInterfaces >= 1 && config->interface[0].altsetting != nullptr) {
        const libusb_interface_descriptor &setting = config->interface[0].altsetting[0];
        for (int i = 0; i < setting.bNumEndpoints; ++i) {
            if ((setting.endpoint[i].bEndpointAddress & LIBUSB_ENDPOINT_IN) == 0)
                found = setting.endpoint[i].bEndpointAddress;
        }
    }
    libusb_free_config_descriptor(config);
    return found;
}

bool open_device()
{
    if (libusb_init(nullptr) != 0)
        return false;
    device = libusb_open_device_with_vid_pid(nullptr, BARE_USB_VID, BARE_USB_PID);
    if (device == nullptr)
        return false;
    out_ep = find_out_endpoint(libusb_get_device(device));
    libusb_claim_interface(device, 0);
    return out_ep != 0;
}

// A read that returns fewer bytes than asked only at the end of the file.
int read_full(int fd, unsigned char *buffer, int size)
{
    int got = 0;
    while (got < size) {
        const ssize_t n = read(fd, buffer + got, static_cast<std::size_t>(size - got));
        if (n <= 0)
            break;
        got += static_cast<int>(n);
    }
    return got;
}

int send_image(int fd)
{
    unsigned char erase[1 + header_size] = {0xE1};
    read_full(fd, erase + 1, header_size);
    if (!write_out(erase, sizeof erase, 5000))
        return 1;
    sleep(4);
    static const unsigned char zero[1] = {0x00};
    write_out(zero, 1, 10000);
    write_out(zero, 1, 10000);

    unsigned char page[page_size];
    int last = 0;
    for (unsigned n = 0; n < page_limit; ++n) {
        last = read_full(fd, page, page_size);
        if (last != page_size)
            break;
        const unsigned char header[3] = {0xE4, static_cast<unsigned char>(n >> 8),
                                         static_cast<unsigned char>(n & 0xFF)};
        if (!write_out(header, 3, 1000))
            return 1;
        for (int offset = 0; offset < page_size; offset += chunk_size) {
            if (!write_out(page + offset, chunk_size, 1000))
                return 1;
        }
    }
    if (last == trailer_size) {
        unsigned char trailer[1 + trailer_size] = {0xE0};
        std::memcpy(trailer + 1, page, trailer_size);
        write_out(trailer, sizeof trailer, 10000);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "Usage: %s IMAGE\n", argc > 0 ? argv[0] : "flasher-bare");
        return 1;
    }
    const int fd = open(argv[1], O_RDONLY);
    if (fd < 0) {
        std::fprintf(stderr, "flasher-bare: cannot open %s\n", argv[1]);
        return 1;
    }
    if (!open_device()) {
        std::fputs("flasher-bare: no target device\n", stderr);
        return 1;
    }
    if (send_image(fd) != 0) {
        std::fputs("flasher-bare: write failed\n", stderr);
        return 1;
    }
    return 0;
}
