// The transport on Windows: finds the target device through SetupAPI by its
// instance ID, opens its USB device interface and writes through WinUSB.
//
// FLASHER_USBPATH is not used here: Windows has no bus-port text to compare it
// with, so the device is chosen by ID and serial only (see docs/windows.md).
#include "usb/transport.h"

#include "usb/winusb/device_walk.h"
#include "usb/winusb/win_api.h"

#include <cstdio>
#include <optional>

// The open device. Set by a successful open_usb() and kept until exit.
static HANDLE dev_handle = INVALID_HANDLE_VALUE;
static WINUSB_INTERFACE_HANDLE winusb_handle = nullptr;
// The transfer time-out last set on the OUT pipe of winusb_handle. WinUSB's
// default is 0, which means none: a device that stops taking data would hang
// the program for ever, so every write sets its own before it starts.
static std::optional<ULONG> pipe_timeout_ms;

// The device flasher-win takes, if any: the one where the search stops.
static bool find_device(const char *serial, win_device &taken)
{
    bool found = false;
    const bool listed = walk_listed_devices(
        serial, [&](HDEVINFO, const SP_DEVINFO_DATA &, const win_device &device, bool stops) {
            if (stops) {
                taken = device;
                found = true;
            }
            return !stops;
        });
    if (!listed)
        std::fprintf(stderr, "get classdev failed\n");
    return found;
}

bool open_usb(const char *serial, const char * /*usb_path: not used on Windows*/)
{
    win_device device;
    if (!find_device(serial, device))
        return false;
    // The device taken is the only one tried: a failure ends the attempt.
    open_taken_device(device);
    if (device.verdict == win_verdict::winusb_failed)
        std::fprintf(stderr, "winusb init failed\n");
    if (device.verdict != win_verdict::chosen)
        return false;
    dev_handle = device.file;
    winusb_handle = device.winusb;
    pipe_timeout_ms.reset(); // a new interface starts with WinUSB's default
    return true;
}

// Makes the pipe's transfer time-out timeout_ms, calling WinUSB only when the
// value changes.
static bool set_pipe_timeout(unsigned int timeout_ms)
{
    ULONG value = timeout_ms;
    if (pipe_timeout_ms == value)
        return true;
    if (!WinUsb_SetPipePolicy(winusb_handle, flash_out_pipe, PIPE_TRANSFER_TIMEOUT, sizeof value,
                              &value)) {
        pipe_timeout_ms.reset();
        return false;
    }
    pipe_timeout_ms = value;
    return true;
}

int flasher_dev_write(const unsigned char *buffer, int length, unsigned int timeout_ms)
{
    // A write the time-out cannot bound is not started: it could hang for ever.
    if (length < 0 || !set_pipe_timeout(timeout_ms))
        return 0;
    ULONG transferred = 0;
    // Synchronous (no OVERLAPPED) although the handle allows overlapped use.
    // WinUSB only reads the buffer; its declaration just lacks the const.
    WinUsb_WritePipe(winusb_handle, flash_out_pipe, const_cast<unsigned char *>(buffer),
                     static_cast<ULONG>(length), &transferred, nullptr);
    return static_cast<int>(transferred);
}
