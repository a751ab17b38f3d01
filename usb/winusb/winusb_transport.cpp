// The transport on Windows: finds the target device through SetupAPI by its
// instance ID, opens its USB device interface and writes through WinUSB.
//
// FLASHER_USBPATH is not used here: Windows has no bus-port text to compare it
// with, so the device is chosen by ID and serial only (see docs/windows.md).
#include "usb/transport.h"

#include "usb/winusb/device_id.h"
#include "usb/winusb/win_api.h"

#include <cstdio>
#include <optional>

namespace
{

// Every write goes to this bulk OUT pipe; the device must have it.
constexpr UCHAR flash_out_pipe = 0x02;
// Of alternate setting 0, only these pipe indices are looked at.
constexpr UCHAR pipe_indices_checked = 2;

} // namespace

// The open device. Set by a successful open_usb() and kept until exit.
static HANDLE dev_handle = INVALID_HANDLE_VALUE;
static WINUSB_INTERFACE_HANDLE winusb_handle = nullptr;
// The transfer time-out last set on the OUT pipe of winusb_handle. WinUSB's
// default is 0, which means none: a device that stops taking data would hang
// the program for ever, so every write sets its own before it starts.
static std::optional<ULONG> pipe_timeout_ms;

// Walks the present USB devices and writes the interface path of the first
// whose instance ID matches. A device whose path would not fit in the buffer
// cannot be opened, so the walk moves on past it.
static bool find_device(const char *serial, std::span<char, interface_path_size> path)
{
    HDEVINFO devices = SetupDiGetClassDevsExA(
        nullptr, "USB", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES, nullptr, nullptr, nullptr);
    if (devices == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "get classdev failed\n");
        return false;
    }
    bool found = false;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD index = 0; !found && SetupDiEnumDeviceInfo(devices, index, &info); ++index) {
        char id[device_id_size];
        if (CM_Get_Device_IDA(info.DevInst, id, sizeof id, 0) != CR_SUCCESS)
            continue;
        id[sizeof id - 1] = '\0';
        found = match_device_id(id, serial) == 1 && build_interface_path(id, path);
    }
    SetupDiDestroyDeviceInfoList(devices);
    return found;
}

// Gives back what a failed open created, so repeated attempts leak nothing.
static void release_device()
{
    if (winusb_handle != nullptr) {
        WinUsb_Free(winusb_handle);
        winusb_handle = nullptr;
    }
    if (dev_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(dev_handle);
        dev_handle = INVALID_HANDLE_VALUE;
    }
}

// True when pipe index 0 or 1 of alternate setting 0 is an OUT pipe.
static bool has_out_pipe()
{
    bool out = false;
    for (UCHAR index = 0; index < pipe_indices_checked; ++index) {
        WINUSB_PIPE_INFORMATION pipe{};
        if (WinUsb_QueryPipe(winusb_handle, 0, index, &pipe) && (pipe.PipeId & 0x80) == 0)
            out = true;
    }
    return out;
}

static bool open_device(const char *path)
{
    dev_handle =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (dev_handle == INVALID_HANDLE_VALUE)
        return false;
    if (!WinUsb_Initialize(dev_handle, &winusb_handle)) {
        std::fprintf(stderr, "winusb init failed\n");
        winusb_handle = nullptr; // nothing to free
        release_device();
        return false;
    }
    if (!has_out_pipe()) {
        release_device();
        return false;
    }
    pipe_timeout_ms.reset(); // a new interface starts with WinUSB's default
    return true;
}

bool open_usb(const char *serial, const char * /*usb_path: not used on Windows*/)
{
    char path[interface_path_size];
    return find_device(serial, path) && open_device(path);
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
