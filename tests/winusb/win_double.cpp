#include "win_double.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

win_double_state win;

namespace
{

// Distinct, recognisable values for each kind of object handed out.
constexpr std::uintptr_t list_base = 0x1000;
constexpr std::uintptr_t file_base = 0x2000;
constexpr std::uintptr_t interface_base = 0x3000;
// DevInst of device n is devinst_base + n.
constexpr DEVINST devinst_base = 500;

std::uintptr_t counter = 0;

void *next_object(std::uintptr_t base)
{
    return reinterpret_cast<void *>(base + ++counter);
}

bool contains(const std::vector<void *> &v, const void *p)
{
    return std::find(v.begin(), v.end(), p) != v.end();
}

// Live: handed out and not yet given back.
bool live(const std::vector<void *> &out, const std::vector<void *> &back, const void *p)
{
    return contains(out, p) && !contains(back, p);
}

void note_misuse(const char *call)
{
    win.misuse.emplace_back(call);
}

} // namespace

void win_double_reset()
{
    win = win_double_state{};
}

HDEVINFO SetupDiGetClassDevsExA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                DWORD Flags, HDEVINFO DeviceInfoSet, PCSTR MachineName,
                                PVOID Reserved)
{
    win.calls.emplace_back("SetupDiGetClassDevsExA");
    win.classdevs.push_back({ClassGuid, Enumerator != nullptr,
                             Enumerator != nullptr ? Enumerator : "", hwndParent, Flags,
                             DeviceInfoSet, MachineName, Reserved});
    if (win.classdevs_fails)
        return INVALID_HANDLE_VALUE;
    void *list = next_object(list_base);
    win.lists_created.push_back(list);
    return list;
}

WINBOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                              PSP_DEVINFO_DATA DeviceInfoData)
{
    win.calls.emplace_back("SetupDiEnumDeviceInfo");
    if (!live(win.lists_created, win.lists_destroyed, DeviceInfoSet)) {
        note_misuse("SetupDiEnumDeviceInfo");
        return FALSE;
    }
    win.enum_sizes.push_back(DeviceInfoData->cbSize);
    // Windows refuses a structure whose size field is wrong.
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA) || MemberIndex >= win.devices.size())
        return FALSE;
    DeviceInfoData->DevInst = devinst_base + MemberIndex;
    return TRUE;
}

WINBOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    win.calls.emplace_back("SetupDiDestroyDeviceInfoList");
    if (!live(win.lists_created, win.lists_destroyed, DeviceInfoSet)) {
        note_misuse("SetupDiDestroyDeviceInfoList");
        return FALSE;
    }
    win.lists_destroyed.push_back(DeviceInfoSet);
    return TRUE;
}

CONFIGRET CM_Get_Device_IDA(DEVINST dnDevInst, PCHAR Buffer, ULONG BufferLen, ULONG ulFlags)
{
    win.calls.emplace_back("CM_Get_Device_IDA");
    win.id_requests.push_back(dnDevInst);
    win.id_buffer_lengths.push_back(BufferLen);
    win.id_flags.push_back(ulFlags);
    const DWORD n = dnDevInst - devinst_base;
    if (n >= win.devices.size())
        return CR_NO_SUCH_DEVNODE;
    const fake_device &dev = win.devices[n];
    if (dev.id_result != CR_SUCCESS)
        return dev.id_result;
    if (dev.instance_id.size() + 1 > BufferLen)
        return CR_BUFFER_SMALL;
    std::memcpy(Buffer, dev.instance_id.c_str(), dev.instance_id.size() + 1);
    return CR_SUCCESS;
}

HANDLE CreateFileA(PCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    win.calls.emplace_back("CreateFileA");
    win.create_files.push_back({lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                                dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile});
    if (win.create_file_fails)
        return INVALID_HANDLE_VALUE;
    void *file = next_object(file_base);
    win.files_opened.push_back(file);
    return file;
}

WINBOOL CloseHandle(HANDLE hObject)
{
    win.calls.emplace_back("CloseHandle");
    if (!live(win.files_opened, win.files_closed, hObject)) {
        note_misuse("CloseHandle");
        return FALSE;
    }
    win.files_closed.push_back(hObject);
    return TRUE;
}

WINBOOL WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle)
{
    win.calls.emplace_back("WinUsb_Initialize");
    win.initialize_handles.push_back(DeviceHandle);
    if (!live(win.files_opened, win.files_closed, DeviceHandle)) {
        note_misuse("WinUsb_Initialize");
        return FALSE;
    }
    if (win.initialize_fails)
        return FALSE;
    *InterfaceHandle = next_object(interface_base);
    win.interfaces_created.push_back(*InterfaceHandle);
    return TRUE;
}

WINBOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle)
{
    win.calls.emplace_back("WinUsb_Free");
    if (!live(win.interfaces_created, win.interfaces_freed, InterfaceHandle)) {
        note_misuse("WinUsb_Free");
        return FALSE;
    }
    win.interfaces_freed.push_back(InterfaceHandle);
    return TRUE;
}

WINBOOL WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AlternateInterfaceNumber,
                         UCHAR PipeIndex, PWINUSB_PIPE_INFORMATION PipeInformation)
{
    win.calls.emplace_back("WinUsb_QueryPipe");
    win.queries.push_back({InterfaceHandle, AlternateInterfaceNumber, PipeIndex});
    if (!live(win.interfaces_created, win.interfaces_freed, InterfaceHandle)) {
        note_misuse("WinUsb_QueryPipe");
        return FALSE;
    }
    if (AlternateInterfaceNumber != 0 || PipeIndex >= win.pipes.size())
        return FALSE;
    const fake_pipe &pipe = win.pipes[PipeIndex];
    // A failed query still fills in the planted pipe, so a back-end that
    // reads the structure without looking at the result is caught.
    *PipeInformation = {UsbdPipeTypeBulk, pipe.pipe_id, 64, 0};
    return pipe.query_ok ? TRUE : FALSE;
}

WINBOOL WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID,
                             ULONG PolicyType, ULONG ValueLength, PVOID Value)
{
    win.calls.emplace_back("WinUsb_SetPipePolicy");
    ULONG value = 0;
    if (ValueLength == sizeof value)
        std::memcpy(&value, Value, sizeof value);
    win.policies.push_back({InterfaceHandle, PipeID, PolicyType, ValueLength, value});
    if (!live(win.interfaces_created, win.interfaces_freed, InterfaceHandle)) {
        note_misuse("WinUsb_SetPipePolicy");
        return FALSE;
    }
    return win.set_policy_fails ? FALSE : TRUE;
}

WINBOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                         ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped)
{
    win.calls.emplace_back("WinUsb_WritePipe");
    win.writes.push_back({InterfaceHandle, PipeID, Buffer, BufferLength,
                          std::vector<unsigned char>(Buffer, Buffer + BufferLength),
                          *LengthTransferred, Overlapped});
    if (!live(win.interfaces_created, win.interfaces_freed, InterfaceHandle)) {
        note_misuse("WinUsb_WritePipe");
        return FALSE;
    }
    *LengthTransferred = std::min(BufferLength, win.write.transfers);
    return win.write.result;
}
