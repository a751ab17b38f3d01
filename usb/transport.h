// The transport contract between the front end and a USB back-end.
//
// Each program links exactly one back-end (libusb or WinUSB). The front end
// only ever calls open_usb() and flasher_dev_write(); the back-end keeps the
// open device in its own module-level state until the process exits.
#pragma once

#include <cstdint>

// One entry of the device table: a USB vendor and product ID.
struct usb_id {
    std::uint16_t vid;
    std::uint16_t pid;
};

// The device table of this program: one target entry, then an entry whose
// vid is 0 that ends the table (its pid is never looked at).
extern const usb_id usb_ids[];

// 1 when some entry before the terminator has this vid and pid, else 0.
int match_usb_ids(std::uint16_t vid, std::uint16_t pid);

// Searches the attached devices afresh and opens the first target device that
// matches the selectors this back-end honours. serial and usb_path are
// NUL-terminated texts or null (absent). True once a device with an OUT
// endpoint is open and writes can follow.
bool open_usb(const char *serial, const char *usb_path);

// Sends length bytes as one bulk OUT transfer to the open device and waits
// for it to end. Returns the number of bytes transferred; on failure a value
// other than length (callers compare with the exact length they sent).
int flasher_dev_write(const unsigned char *buffer, int length, unsigned int timeout_ms);
