// A recording stand-in for the Windows calls the WinUSB back-end makes, so its
// logic runs natively on Linux. The types keep their Windows sizes (DWORD and
// ULONG are 32 bits, as on Windows, where long on Linux is 64).
//
// A test describes the machine in `win` (the present devices, their pipes,
// which call fails) and afterwards reads back what the back-end asked for:
// flags, paths, pipe ids, policies, and every handle opened and closed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using UCHAR = unsigned char;
using USHORT = std::uint16_t;
using WINBOOL = int;
using BOOL = int;
using ULONG_PTR = std::uintptr_t;
using PVOID = void *;
using HANDLE = void *;
using HDEVINFO = void *;
using HWND = struct HWND__ *;
using PCSTR = const char *;
using PCHAR = char *;
using PUCHAR = unsigned char *;
using PULONG = ULONG *;
using PBYTE = unsigned char *;
using PDWORD = DWORD *;
using DEVINST = DWORD;
using CONFIGRET = DWORD;
using WINUSB_INTERFACE_HANDLE = void *;
using PWINUSB_INTERFACE_HANDLE = WINUSB_INTERFACE_HANDLE *;
using LPSECURITY_ATTRIBUTES = struct SECURITY_ATTRIBUTES *;
using LPOVERLAPPED = struct OVERLAPPED *;
using LPCVOID = const void *;
using LPSTR = char *;
using va_list_pointer = void *; // FormatMessageA's va_list *, never passed here

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    unsigned char Data4[8];
};

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
using PSP_DEVINFO_DATA = SP_DEVINFO_DATA *;

enum USBD_PIPE_TYPE {
    UsbdPipeTypeControl,
    UsbdPipeTypeIsochronous,
    UsbdPipeTypeBulk,
    UsbdPipeTypeInterrupt
};

struct USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
};
using PUSB_INTERFACE_DESCRIPTOR = USB_INTERFACE_DESCRIPTOR *;

struct WINUSB_PIPE_INFORMATION {
    USBD_PIPE_TYPE PipeType;
    UCHAR PipeId;
    USHORT MaximumPacketSize;
    UCHAR Interval;
};
using PWINUSB_PIPE_INFORMATION = WINUSB_PIPE_INFORMATION *;

// The values of the Windows SDK.
inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr DWORD DIGCF_PRESENT = 0x00000002;
constexpr DWORD DIGCF_ALLCLASSES = 0x00000004;
constexpr CONFIGRET CR_SUCCESS = 0x00000000;
constexpr CONFIGRET CR_NO_SUCH_DEVNODE = 0x0000000D;
constexpr CONFIGRET CR_BUFFER_SMALL = 0x0000001A;
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;
constexpr ULONG PIPE_TRANSFER_TIMEOUT = 0x03;
constexpr DWORD SPDRP_SERVICE = 0x00000004;
constexpr DWORD REG_SZ = 1;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr ULONG DN_HAS_PROBLEM = 0x00000400;

HDEVINFO SetupDiGetClassDevsExA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                DWORD Flags, HDEVINFO DeviceInfoSet, PCSTR MachineName,
                                PVOID Reserved);
WINBOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                              PSP_DEVINFO_DATA DeviceInfoData);
WINBOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
WINBOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          DWORD Property, PDWORD PropertyRegDataType,
                                          PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                          PDWORD RequiredSize);
DWORD GetLastError();
DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPSTR lpBuffer, DWORD nSize, va_list_pointer Arguments);
CONFIGRET CM_Get_Device_IDA(DEVINST dnDevInst, PCHAR Buffer, ULONG BufferLen, ULONG ulFlags);
CONFIGRET CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst,
                                ULONG ulFlags);
HANDLE CreateFileA(PCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
WINBOOL CloseHandle(HANDLE hObject);
WINBOOL WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle);
WINBOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle);
WINBOOL WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE InterfaceHandle,
                                      UCHAR AlternateInterfaceNumber,
                                      PUSB_INTERFACE_DESCRIPTOR UsbAltInterfaceDescriptor);
WINBOOL WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AlternateInterfaceNumber,
                         UCHAR PipeIndex, PWINUSB_PIPE_INFORMATION PipeInformation);
WINBOOL WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID,
                             ULONG PolicyType, ULONG ValueLength, PVOID Value);
WINBOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                         ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped);

// ---- The machine a test describes ----

// A pipe of alternate setting 0. WinUsb_WritePipe writes to a bulk or an
// interrupt pipe of the interface, and fails for any other pipe id.
struct fake_pipe {
    bool query_ok = true;
    UCHAR pipe_id = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
};

struct fake_device {
    std::string instance_id;
    CONFIGRET id_result = CR_SUCCESS; // what CM_Get_Device_IDA returns for it
    // The device's own answers, once opened by its interface path; the
    // machine-wide settings below apply as well.
    const char *service = nullptr; // SPDRP_SERVICE: its driver; null for none
    DWORD service_error = 0;       // reading SPDRP_SERVICE fails with it, when not 0
    DWORD open_error = 0;          // CreateFileA fails with it, when not 0
    DWORD init_error = 0;          // WinUsb_Initialize fails with it, when not 0
    std::optional<std::vector<fake_pipe>> pipes{}; // else the machine's
    DWORD settings_error = 0; // WinUsb_QueryInterfaceSettings fails with it, when not 0
    // CM_Get_DevNode_Status: its Device Manager problem code (0: none), or
    // the call's failure.
    ULONG problem = 0;
    CONFIGRET status_result = CR_SUCCESS;
};

// How WinUsb_WritePipe answers: it reports min(length, transfers) bytes.
struct fake_write {
    ULONG transfers = 0xFFFFFFFF;
    WINBOOL result = TRUE;
};

// ---- What the back-end asked for ----

struct classdevs_call {
    const GUID *class_guid;
    bool has_enumerator;
    std::string enumerator;
    HWND parent;
    DWORD flags;
    HDEVINFO set;
    PCSTR machine;
    PVOID reserved;
};

struct create_file_call {
    std::string path;
    DWORD access;
    DWORD share;
    LPSECURITY_ATTRIBUTES security;
    DWORD disposition;
    DWORD flags;
    HANDLE template_file;
};

struct query_pipe_call {
    WINUSB_INTERFACE_HANDLE handle;
    UCHAR alternate;
    UCHAR index;
};

struct pipe_policy_call {
    WINUSB_INTERFACE_HANDLE handle;
    UCHAR pipe;
    ULONG policy;
    ULONG value_length;
    ULONG value;
};

struct format_message_call {
    DWORD flags;
    LPCVOID source;
    DWORD id;
    DWORD language;
    DWORD size;
    va_list_pointer arguments;
};

struct status_call {
    DEVINST devinst;
    ULONG flags;
};

struct write_pipe_call {
    WINUSB_INTERFACE_HANDLE handle;
    UCHAR pipe;
    const unsigned char *buffer;
    ULONG length;
    std::vector<unsigned char> bytes; // what the buffer held at the call
    ULONG transferred_on_entry;
    LPOVERLAPPED overlapped;
};

struct win_double_state {
    // Set-up.
    std::vector<fake_device> devices;
    bool classdevs_fails = false;
    bool create_file_fails = false; // with ERROR_FILE_NOT_FOUND
    bool initialize_fails = false;  // with ERROR_NOT_SUPPORTED
    std::vector<fake_pipe> pipes;   // by pipe index; a query past the end fails
    bool set_policy_fails = false;
    fake_write write;

    // Record. `calls` holds the name of every call in order.
    std::vector<std::string> calls;
    std::vector<classdevs_call> classdevs;
    std::vector<DWORD> enum_sizes; // cbSize at each SetupDiEnumDeviceInfo
    std::vector<DEVINST> id_requests;
    std::vector<ULONG> id_buffer_lengths;
    std::vector<ULONG> id_flags;
    std::vector<create_file_call> create_files;
    std::vector<HANDLE> initialize_handles; // file handle WinUSB was given
    std::vector<query_pipe_call> queries;
    std::vector<query_pipe_call> settings_queries; // index 0
    std::vector<format_message_call> messages;
    std::vector<status_call> status_requests;
    std::vector<pipe_policy_call> policies;
    std::vector<write_pipe_call> writes;
    std::vector<DWORD> properties_read; // the Property of each registry read
    DWORD last_error = 0;               // what GetLastError returns

    // Every object handed out and given back, in order.
    std::vector<HDEVINFO> lists_created, lists_destroyed;
    std::vector<HANDLE> files_opened, files_closed;
    std::vector<WINUSB_INTERFACE_HANDLE> interfaces_created, interfaces_freed;
    // The device behind each file and interface handed out (by position in
    // devices; -1 for a path that names none).
    std::vector<int> file_devices, interface_devices;

    // Calls with a handle that was never handed out or was already given
    // back. A correct back-end leaves this empty.
    std::vector<std::string> misuse;
};

extern win_double_state win;

// Back to an empty machine with nothing recorded.
void win_double_reset();
