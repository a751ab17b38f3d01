// The transport over libusb-1.0: finds the target device by its IDs, narrows
// by usb path and serial (device_walk.cpp), claims interface 0 and writes
// bulk OUT transfers.
#include "frontend/events.h"
#include "frontend/messages.h"
#include "usb/libusb/device_walk.h"
#include "usb/transport.h"

#include <cstdio>

namespace
{

// The open device and the endpoint the messages go to. Set by open_usb and
// kept until the process exits.
libusb_device_handle *lusb = nullptr;
int flash_out_ep = 0;

// The discovery lines: the usb path of every target device whose path was
// built, and the serial of every device that was opened.
void announce(const device_examination &ex)
{
    if (ex.path_known)
        std::printf(msg::device_path, ex.path);
    if (ex.serial_read)
        std::printf(msg::device_serial, ex.serial_status, ex.serial);
}

} // namespace

bool open_usb(const char *serial, const char *usb_path)
{
    bool chosen = false;
    walk_devices(serial, usb_path, [&](libusb_device *, const device_examination &ex, bool stops) {
        if (ex.verdict == device_verdict::not_target)
            return true;
        announce(ex);
        if (ex.verdict == device_verdict::chosen) {
            // The claim's result is not judged here: a write that
            // fails because of it is reported by the sequence that
            // made it.
            libusb_claim_interface(ex.handle, 0);
            lusb = ex.handle;
            flash_out_ep = ex.out_endpoint;
            chosen = true;
            event_opened(ex.path_known ? ex.path : nullptr,
                         ex.serial_status >= 0 ? ex.serial : nullptr);
        }
        return !stops;
    });
    return chosen;
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
