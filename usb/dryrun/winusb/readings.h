// What the WinUSB dry run reads of a device beyond flasher-win's own steps,
// with calls flasher-win never makes: the driver it is bound to, every pipe
// of alternate setting 0 of a device it opened, and the Device Manager status
// of a device that cannot be opened. All of them only read.
#pragma once

#include "usb/winusb/win_api.h"

#include <vector>

namespace dryrun_win
{

// The service a device is bound to, as SetupAPI tells it.
enum class driver_state {
    bound,      // service names it
    none,       // the device has no service: no driver is installed for it
    unreadable, // the reading failed (error says why)
};

struct driver_reading {
    driver_state state = driver_state::none;
    char service[256] = {};
    DWORD error = 0;
};

driver_reading read_driver(HDEVINFO devices, SP_DEVINFO_DATA info);

// True when the device is bound to the driver `service` (lower case):
// Windows writes WinUSB's service "WINUSB", but the case of a service name
// is not its own.
bool bound_to(const driver_reading &driver, const char *service);
bool bound_to_winusb(const driver_reading &driver);

// Every pipe of alternate setting 0, as WinUSB tells them.
struct pipe_reading {
    bool read = false;                          // the setting's endpoint count was read
    DWORD error = 0;                            // why not, or why the last query of a pipe failed
    unsigned count = 0;                         // the setting's endpoints
    std::vector<WINUSB_PIPE_INFORMATION> pipes; // each one whose query succeeded, in order
};

pipe_reading read_pipes(WINUSB_INTERFACE_HANDLE winusb);

// What flasher-win's writes meet on the pipe they go to (flash_out_pipe).
enum class write_pipe {
    unknown,    // not every pipe could be read, and it is not among those read
    bulk,       // a bulk OUT pipe, as the device must have
    interrupt,  // an interrupt OUT pipe: WinUSB writes to it in interrupt transfers
    unwritable, // isochronous: WinUsb_WritePipe does not write to it
    missing,    // the device has no such pipe
};

write_pipe judge_write_pipe(const pipe_reading &pipes);

// The device's Device Manager status (CM_Get_DevNode_Status).
struct problem_reading {
    bool asked = false;            // the dry run asked for it
    bool read = false;             // ... and got it
    CONFIGRET result = CR_SUCCESS; // the call's result
    ULONG status = 0;              // DN_* flags
    ULONG problem = 0;             // the problem code, when status has DN_HAS_PROBLEM
};

problem_reading read_problem(DEVINST devinst);

} // namespace dryrun_win
