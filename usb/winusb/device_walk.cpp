// The steps flasher-win takes with each present USB device: its instance ID
// against the device table and the serial, the path that opens it, then the
// open itself, WinUSB and the first two pipes.
#include "usb/winusb/device_walk.h"

namespace
{

// Of alternate setting 0, only these pipe indices are looked at.
constexpr UCHAR pipe_indices_checked = 2;

// True when pipe index 0 or 1 of alternate setting 0 is an OUT pipe.
bool has_out_pipe(WINUSB_INTERFACE_HANDLE winusb)
{
    bool out = false;
    for (UCHAR index = 0; index < pipe_indices_checked; ++index) {
        WINUSB_PIPE_INFORMATION pipe{};
        if (WinUsb_QueryPipe(winusb, 0, index, &pipe) && (pipe.PipeId & 0x80) == 0)
            out = true;
    }
    return out;
}

} // namespace

bool ends_search(win_verdict verdict)
{
    switch (verdict) {
    case win_verdict::id_unreadable:
    case win_verdict::not_target:
    case win_verdict::serial_not_in_id:
    case win_verdict::path_too_long:
        return false;
    case win_verdict::taken:
    case win_verdict::cannot_open:
    case win_verdict::winusb_failed:
    case win_verdict::no_out_pipe:
    case win_verdict::chosen:
        break;
    }
    return true;
}

bool ends_attempt(win_verdict verdict)
{
    return ends_search(verdict) && verdict != win_verdict::chosen;
}

bool list_present_devices(HDEVINFO &devices)
{
    devices = SetupDiGetClassDevsExA(nullptr, "USB", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES,
                                     nullptr, nullptr, nullptr);
    return devices != INVALID_HANDLE_VALUE;
}

bool next_listed_device(HDEVINFO devices, DWORD index, SP_DEVINFO_DATA &info)
{
    return SetupDiEnumDeviceInfo(devices, index, &info) != FALSE;
}

win_device examine_listed_device(const SP_DEVINFO_DATA &info, const char *serial)
{
    win_device device;
    char *id = device.instance_id;
    if (CM_Get_Device_IDA(info.DevInst, id, sizeof device.instance_id, 0) != CR_SUCCESS) {
        id[0] = '\0';
        return device;
    }
    id[sizeof device.instance_id - 1] = '\0';
    if (match_device_id(id, serial) != 1) {
        const bool target = serial != nullptr && match_device_id(id, nullptr) == 1;
        device.verdict = target ? win_verdict::serial_not_in_id : win_verdict::not_target;
        return device;
    }
    // A device whose path would not fit cannot be opened under its own
    // name, so the search goes on past it.
    device.verdict =
        build_interface_path(id, device.path) ? win_verdict::taken : win_verdict::path_too_long;
    return device;
}

void open_taken_device(win_device &device)
{
    device.file =
        CreateFileA(device.path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (device.file == INVALID_HANDLE_VALUE) {
        device.error = GetLastError();
        device.verdict = win_verdict::cannot_open;
        return;
    }
    if (!WinUsb_Initialize(device.file, &device.winusb)) {
        device.error = GetLastError();
        device.winusb = nullptr; // nothing to free
        close_device(device);
        device.verdict = win_verdict::winusb_failed;
        return;
    }
    if (!has_out_pipe(device.winusb)) {
        close_device(device);
        device.verdict = win_verdict::no_out_pipe;
        return;
    }
    device.verdict = win_verdict::chosen;
}

void close_device(win_device &device)
{
    if (device.winusb != nullptr) {
        WinUsb_Free(device.winusb);
        device.winusb = nullptr;
    }
    if (device.file != INVALID_HANDLE_VALUE) {
        CloseHandle(device.file);
        device.file = INVALID_HANDLE_VALUE;
    }
}
