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

// The device whose interface path, as Windows names it, is `path`; -1 for none.
int device_at(const std::string &path)
{
    for (std::size_t n = 0; n < win.devices.size(); ++n) {
        std::string name = win.devices[n].instance_id;
        std::replace(name.begin(), name.end(), '\\', '#');
        if (path == "\\\\.\\" + name + "#{A5DCBF10-6530-11D2-901F-00C04FB951ED}")
            return static_cast<int>(n);
    }
    return -1;
}

// The device behind a handle handed out with `devices` beside it.
const fake_device *device_of(const std::vector<void *> &out, const std::vector<int> &devices,
                             const void *handle)
{
    const auto at = std::find(out.begin(), out.end(), handle);
    if (at == out.end())
        return nullptr;
    const int n = devices[static_cast<std::size_t>(at - out.begin())];
    return n < 0 ? nullptr : &win.devices[static_cast<std::size_t>(n)];
}

WINBOOL fail_with(DWORD error)
{
    win.last_error = error;
    return FALSE;
}

// The device's position in win.devices from its DevInst; past the end for
// none.
std::size_t device_index(DEVINST devinst)
{
    return devinst - devinst_base;
}

// The pipes of alternate setting 0 of the device behind an interface.
const std::vector<fake_pipe> &pipes_of(WINUSB_INTERFACE_HANDLE handle)
{
    const fake_device *dev = device_of(win.interfaces_created, win.interface_devices, handle);
    return dev != nullptr && dev->pipes.has_value() ? *dev->pipes : win.pipes;
}

// Windows' own texts (English) for the codes the tests use.
struct message_text {
    DWORD id;
    const char *text;
};
constexpr message_text message_texts[] = {
    {ERROR_INVALID_FUNCTION, "Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this "
                              "command.\r\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
};

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

WINBOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          DWORD Property, PDWORD PropertyRegDataType,
                                          PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                          PDWORD RequiredSize)
{
    win.calls.emplace_back("SetupDiGetDeviceRegistryPropertyA");
    win.properties_read.push_back(Property);
    if (!live(win.lists_created, win.lists_destroyed, DeviceInfoSet)) {
        note_misuse("SetupDiGetDeviceRegistryPropertyA");
        return fail_with(ERROR_INVALID_DATA);
    }
    const std::size_t n = device_index(DeviceInfoData->DevInst);
    if (n < win.devices.size() && win.devices[n].service_error != 0)
        return fail_with(win.devices[n].service_error);
    // Windows says ERROR_INVALID_DATA for a property the device does not have.
    if (n >= win.devices.size() || Property != SPDRP_SERVICE || win.devices[n].service == nullptr)
        return fail_with(ERROR_INVALID_DATA);
    const std::size_t size = std::strlen(win.devices[n].service) + 1;
    if (RequiredSize != nullptr)
        *RequiredSize = static_cast<DWORD>(size);
    if (size > PropertyBufferSize)
        return fail_with(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(PropertyBuffer, win.devices[n].service, size);
    if (PropertyRegDataType != nullptr)
        *PropertyRegDataType = REG_SZ;
    return TRUE;
}

DWORD GetLastError()
{
    return win.last_error;
}

DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPSTR lpBuffer, DWORD nSize, va_list_pointer Arguments)
{
    win.calls.emplace_back("FormatMessageA");
    win.messages.push_back({dwFlags, lpSource, dwMessageId, dwLanguageId, nSize, Arguments});
    for (const message_text &m : message_texts) {
        const std::size_t length = std::strlen(m.text);
        if (m.id != dwMessageId)
            continue;
        if (length + 1 > nSize) {
            fail_with(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(lpBuffer, m.text, length + 1);
        return static_cast<DWORD>(length);
    }
    fail_with(ERROR_MR_MID_NOT_FOUND);
    return 0;
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

CONFIGRET CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst,
                                ULONG ulFlags)
{
    win.calls.emplace_back("CM_Get_DevNode_Status");
    win.status_requests.push_back({dnDevInst, ulFlags});
    const std::size_t n = device_index(dnDevInst);
    if (n >= win.devices.size())
        return CR_NO_SUCH_DEVNODE;
    const fake_device &dev = win.devices[n];
    if (dev.status_result != CR_SUCCESS)
        return dev.status_result;
    *pulProblemNumber = dev.problem;
    *pulStatus = dev.problem != 0 ? DN_HAS_PROBLEM : 0;
    return CR_SUCCESS;
}

HANDLE CreateFileA(PCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    win.calls.emplace_back("CreateFileA");
    win.create_files.push_back({lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                                dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile});
    const int n = device_at(lpFileName);
    const DWORD error = n >= 0 ? win.devices[static_cast<std::size_t>(n)].open_error : 0;
    if (win.create_file_fails || error != 0) {
        fail_with(error != 0 ? error : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    void *file = next_object(file_base);
    win.files_opened.push_back(file);
    win.file_devices.push_back(n);
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
    const fake_device *dev = device_of(win.files_opened, win.file_devices, DeviceHandle);
    if (dev != nullptr && dev->init_error != 0)
        return fail_with(dev->init_error);
    if (win.initialize_fails)
        return fail_with(ERROR_NOT_SUPPORTED);
    *InterfaceHandle = next_object(interface_base);
    win.interfaces_created.push_back(*InterfaceHandle);
    const auto file = std::find(win.files_opened.begin(), win.files_opened.end(), DeviceHandle);
    win.interface_devices.push_back(
        win.file_devices[static_cast<std::size_t>(file - win.files_opened.begin())]);
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

WINBOOL WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE InterfaceHandle,
                                      UCHAR AlternateInterfaceNumber,
                                      PUSB_INTERFACE_DESCRIPTOR UsbAltInterfaceDescriptor)
{
    win.calls.emplace_back("WinUsb_QueryInterfaceSettings");
    win.settings_queries.push_back({InterfaceHandle, AlternateInterfaceNumber, 0});
    if (!live(win.interfaces_created, win.interfaces_freed, InterfaceHandle)) {
        note_misuse("WinUsb_QueryInterfaceSettings");
        return FALSE;
    }
    const fake_device *dev =
        device_of(win.interfaces_created, win.interface_devices, InterfaceHandle);
    if (dev != nullptr && dev->settings_error != 0)
        return fail_with(dev->settings_error);
    if (AlternateInterfaceNumber != 0)
        return fail_with(ERROR_NO_MORE_ITEMS);
    *UsbAltInterfaceDescriptor = {
        9, 0x04, 0, 0, static_cast<UCHAR>(pipes_of(InterfaceHandle).size()), 0xFF, 0, 0, 0};
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
    const std::vector<fake_pipe> &pipes = pipes_of(InterfaceHandle);
    if (AlternateInterfaceNumber != 0 || PipeIndex >= pipes.size())
        return fail_with(ERROR_NO_MORE_ITEMS);
    const fake_pipe &pipe = pipes[PipeIndex];
    // A failed query still fills in the planted pipe, so a back-end that
    // reads the structure without looking at the result is caught.
    *PipeInformation = {pipe.type, pipe.pipe_id, 64, 0};
    return pipe.query_ok ? TRUE : fail_with(ERROR_GEN_FAILURE);
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
    const std::vector<fake_pipe> &pipes = pipes_of(InterfaceHandle);
    const auto pipe = std::find_if(pipes.begin(), pipes.end(),
                                   [&](const fake_pipe &p) { return p.pipe_id == PipeID; });
    if (pipe == pipes.end() ||
        (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt))
        return fail_with(ERROR_INVALID_PARAMETER);
    *LengthTransferred = std::min(BufferLength, win.write.transfers);
    return win.write.result;
}
