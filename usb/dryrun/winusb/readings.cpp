#include "usb/dryrun/winusb/readings.h"

#include "usb/winusb/device_walk.h"

#include <cctype>
#include <cstring>

namespace dryrun_win
{

driver_reading read_driver(HDEVINFO devices, SP_DEVINFO_DATA info)
{
    driver_reading reading;
    DWORD type = 0;
    const DWORD room = sizeof reading.service - 1; // the last byte stays the terminator
    if (SetupDiGetDeviceRegistryPropertyA(devices, &info, SPDRP_SERVICE, &type,
                                          reinterpret_cast<PBYTE>(reading.service), room,
                                          nullptr)) {
        reading.state = reading.service[0] != '\0' ? driver_state::bound : driver_state::none;
        return reading;
    }
    reading.service[0] = '\0';
    reading.error = GetLastError();
    // Windows' answer for a property the device does not have.
    reading.state =
        reading.error == ERROR_INVALID_DATA ? driver_state::none : driver_state::unreadable;
    return reading;
}

bool bound_to(const driver_reading &driver, const char *service)
{
    const std::size_t length = std::strlen(service);
    if (driver.state != driver_state::bound || std::strlen(driver.service) != length)
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        if (std::tolower(static_cast<unsigned char>(driver.service[i])) != service[i])
            return false;
    }
    return true;
}

bool bound_to_winusb(const driver_reading &driver)
{
    return bound_to(driver, "winusb");
}

pipe_reading read_pipes(WINUSB_INTERFACE_HANDLE winusb)
{
    pipe_reading reading;
    USB_INTERFACE_DESCRIPTOR setting{};
    if (!WinUsb_QueryInterfaceSettings(winusb, 0, &setting)) {
        reading.error = GetLastError();
        return reading;
    }
    reading.read = true;
    reading.count = setting.bNumEndpoints;
    for (UCHAR index = 0; index < setting.bNumEndpoints; ++index) {
        WINUSB_PIPE_INFORMATION pipe{};
        if (WinUsb_QueryPipe(winusb, 0, index, &pipe))
            reading.pipes.push_back(pipe);
        else
            reading.error = GetLastError();
    }
    return reading;
}

write_pipe judge_write_pipe(const pipe_reading &pipes)
{
    for (const WINUSB_PIPE_INFORMATION &pipe : pipes.pipes) {
        if (pipe.PipeId != flash_out_pipe)
            continue;
        if (pipe.PipeType == UsbdPipeTypeBulk)
            return write_pipe::bulk;
        return pipe.PipeType == UsbdPipeTypeInterrupt ? write_pipe::interrupt
                                                      : write_pipe::unwritable;
    }
    const bool all_read = pipes.read && pipes.pipes.size() == pipes.count;
    return all_read ? write_pipe::missing : write_pipe::unknown;
}

problem_reading read_problem(DEVINST devinst)
{
    problem_reading reading;
    reading.asked = true;
    reading.result = CM_Get_DevNode_Status(&reading.status, &reading.problem, devinst, 0);
    reading.read = reading.result == CR_SUCCESS;
    if (!reading.read || (reading.status & DN_HAS_PROBLEM) == 0)
        reading.problem = 0;
    return reading;
}

} // namespace dryrun_win
