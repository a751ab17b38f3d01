// The one place the WinUSB back-end meets the Windows headers.
//
// flasher-win.exe gets the real declarations. The native unit tests build the
// same back-end sources against a recording double of the few calls it makes
// (FLASHER_WIN_TEST_DOUBLE, with the double's folder on the include path).
#pragma once

#if defined(FLASHER_WIN_TEST_DOUBLE)
#include "win_double.h"
#elif defined(_WIN32)
// windows.h first: the others rely on its types.
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>
#include <winusb.h>
#else
#error "the WinUSB back-end builds for Windows, or natively against its test double"
#endif

// Both builds must agree on the sizes the back-end relies on, or the tests
// would prove nothing about the program.
static_assert(sizeof(DWORD) == 4 && sizeof(ULONG) == 4, "DWORD and ULONG are 32 bits");
static_assert(sizeof(UCHAR) == 1 && sizeof(USHORT) == 2);
static_assert(sizeof(SP_DEVINFO_DATA) == (sizeof(void *) == 8 ? 32 : 28));
static_assert(sizeof(WINUSB_PIPE_INFORMATION) == 12);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);

// The flag and policy values the back-end passes, as the tests expect them.
static_assert(DIGCF_PRESENT == 0x2 && DIGCF_ALLCLASSES == 0x4);
static_assert(CR_SUCCESS == 0);
static_assert(GENERIC_READ == 0x80000000 && GENERIC_WRITE == 0x40000000);
static_assert(FILE_SHARE_READ == 0x1 && FILE_SHARE_WRITE == 0x2 && OPEN_EXISTING == 3);
static_assert(FILE_ATTRIBUTE_NORMAL == 0x80 && FILE_FLAG_OVERLAPPED == 0x40000000);
static_assert(PIPE_TRANSFER_TIMEOUT == 3);
static_assert(UsbdPipeTypeBulk == 2 && UsbdPipeTypeInterrupt == 3);
// ... and those flasher-probe.exe's readings pass and read.
static_assert(FORMAT_MESSAGE_FROM_SYSTEM == 0x1000 && FORMAT_MESSAGE_IGNORE_INSERTS == 0x200);
static_assert(DN_HAS_PROBLEM == 0x400);
