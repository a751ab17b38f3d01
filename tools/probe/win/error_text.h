// Windows' own words for what went wrong: the text of an error code, and the
// meaning of a Device Manager problem code. flasher-probe.exe's alone:
// flasher-win prints neither.
#pragma once

#include "usb/winusb/win_api.h"

#include <string>

// "Windows error 5: Access is denied": the code and the text Windows has
// for it (FormatMessage, in the user's language), without the final stop;
// the code alone when Windows has no text.
std::string windows_error(DWORD error);

// What Device Manager says of a problem code ("the device is disabled"), or
// where to look when the code is not one of those listed here.
std::string problem_meaning(ULONG problem);
