#include "tools/probe/win/device_report.h"

#include "tools/probe/win/error_text.h"
#include "tools/probe/words.h"
#include "usb/transport.h"

#include <cctype>
#include <cstring>

namespace
{

using dryrun_win::driver_state;
using dryrun_win::listed_device;
using dryrun_win::write_pipe;

const char see_needs[] = "(see \"What the device needs on Windows\" in docs/windows.md)";

// The number after `key` ("VID_", "PID_") in an instance ID: four hex digits.
bool id_number(const char *id, const char *key, std::uint16_t &value)
{
    const char *at = std::strstr(id, key);
    if (at == nullptr)
        return false;
    at += std::strlen(key);
    for (int i = 0; i < 4; ++i) {
        if (std::isxdigit(static_cast<unsigned char>(at[i])) == 0)
            return false;
    }
    value = static_cast<std::uint16_t>(std::stoul(std::string(at, 4), nullptr, 16));
    return true;
}

// "MI_01" when the instance ID names one interface of a composite device
// (USB\VID_1209&PID_000B&MI_01\...), else "".
std::string composite_interface(const std::string &id)
{
    const std::size_t hardware_end = id.find('\\', id.find('\\') + 1);
    const std::size_t at = id.substr(0, hardware_end).find("&MI_");
    if (at == std::string::npos || at + 6 > id.size() ||
        std::isxdigit(static_cast<unsigned char>(id[at + 4])) == 0 ||
        std::isxdigit(static_cast<unsigned char>(id[at + 5])) == 0)
        return {};
    return id.substr(at + 1, 5);
}

std::string driver_text(const dryrun_win::driver_reading &driver)
{
    switch (driver.state) {
    case driver_state::bound:
        return std::string("driver ") + driver.service;
    case driver_state::none:
        return "no driver";
    case driver_state::unreadable:
        break;
    }
    return "driver unreadable (" + windows_error(driver.error) + ")";
}

// Why flasher-win's steps did not choose a device.
std::string why_not_chosen(const win_device &d, const probe_subject &subject)
{
    switch (d.verdict) {
    case win_verdict::serial_not_in_id:
        return std::string("\"") + (subject.serial ? subject.serial : "") +
               "\" is not in its instance ID";
    case win_verdict::path_too_long:
        return "its interface path would not fit in " + std::to_string(interface_path_size) +
               " bytes";
    case win_verdict::cannot_open:
        return "cannot be opened (" + windows_error(d.error) + ")";
    case win_verdict::winusb_failed:
        return "WinUSB cannot be started on it (" + windows_error(d.error) + ")";
    case win_verdict::no_out_pipe:
        return "neither of its first two pipes is an OUT pipe";
    case win_verdict::chosen:
    case win_verdict::taken:
    case win_verdict::id_unreadable:
    case win_verdict::not_target:
        break;
    }
    return "not a target device";
}

// The same few lines as describe_outcome in tools/probe/device_report.cpp,
// over the WinUSB walk's verdicts; one copy would need a template over both
// walks' verdict types.
device_outcome describe_outcome(const win_device &d, const probe_subject &subject)
{
    if (d.verdict == win_verdict::chosen)
        return {outcome_kind::chosen, {}, {}};
    // The walk says which verdicts end the attempt.
    return {ends_attempt(d.verdict) ? outcome_kind::fails_attempt : outcome_kind::passed_over,
            why_not_chosen(d, subject),
            {}};
}

std::string pipe_text(const WINUSB_PIPE_INFORMATION &pipe)
{
    static const char *const types[] = {"control", "isochronous", "bulk", "interrupt"};
    char id[8];
    std::snprintf(id, sizeof id, "0x%02X", pipe.PipeId);
    const unsigned type = static_cast<unsigned>(pipe.PipeType);
    return std::string(id) + " " + (type < 4 ? types[type] : "unknown") +
           ((pipe.PipeId & 0x80) != 0 ? " IN" : " OUT");
}

std::string pipes_text(const dryrun_win::pipe_reading &pipes)
{
    std::string text = "its pipes (interface 0, alternate setting 0):";
    for (std::size_t i = 0; i < pipes.pipes.size(); ++i)
        text += (i == 0 ? " " : ", ") + pipe_text(pipes.pipes[i]);
    return pipes.pipes.empty() ? text + " none" : text;
}

// The first message flasher-win would send.
std::string first_write(const dry_run *run)
{
    if (run == nullptr)
        return "its first write";
    return run->request.mode == run_mode::parameters ? "the parameter announcement" : "the erase";
}

// What flasher-win's writes would meet on a device it uses: they all go to
// pipe 0x02, whatever pipes its steps looked at.
void judge_writes(const listed_device &d, const dry_run *run, listed_target &t)
{
    std::string why;
    switch (judge_write_pipe(d.pipes)) {
    case write_pipe::bulk:
        return;
    case write_pipe::interrupt:
        t.advice.push_back("its pipe 0x02 is an interrupt pipe, not a bulk one: WinUSB writes to "
                           "it all the same, in interrupt transfers");
        t.advice.push_back(pipes_text(d.pipes));
        return;
    case write_pipe::unknown:
        t.advice.push_back("its pipes cannot all be read (" + windows_error(d.pipes.error) +
                           "): whether it has the pipe 0x02 that flasher-win writes to cannot be "
                           "told");
        return;
    case write_pipe::unwritable:
        why = "it writes to pipe 0x02, which is an isochronous pipe on this device";
        break;
    case write_pipe::missing:
        why = "it writes to pipe 0x02, which this device does not have as an OUT pipe";
        break;
    }
    t.outcome = {outcome_kind::write_fails,
                 "flasher-win would open it and then fail at " + first_write(run) + ": " + why,
                 {}};
    t.fails_why = why;
    t.usable = false;
    t.advice.push_back(pipes_text(d.pipes));
}

// Why a device bound to WinUSB cannot be opened, as far as Windows tells.
void explain_open_failure(const listed_device &d, listed_target &t)
{
    if (d.device.error == ERROR_ACCESS_DENIED)
        t.advice.push_back("WinUSB lets one program at a time open a device: another program has "
                           "it open (another flasher-win, say); let it finish, or close it, and "
                           "try again");
    const dryrun_win::problem_reading &p = d.problem;
    if (!p.asked)
        return;
    if (!p.read)
        t.advice.push_back("its Device Manager status cannot be read (configuration manager "
                           "result " +
                           std::to_string(p.result) + ")");
    else if ((p.status & DN_HAS_PROBLEM) == 0)
        t.advice.push_back("Device Manager shows no problem for it");
    else
        t.advice.push_back("Device Manager problem code " + std::to_string(p.problem) + ": " +
                           problem_meaning(p.problem));
}

// What to do about its driver: bind it to WinUSB, unless it is part of a
// composite device, which binding would not help.
void judge_driver(const listed_device &d, listed_target &t)
{
    const std::string part = composite_interface(d.device.instance_id);
    if (bound_to(d.driver, "usbccgp"))
        t.notes.push_back("a composite device (driver usbccgp): Windows gives each of its "
                          "interfaces a driver and an instance ID of its own (...&MI_00...); "
                          "flasher-win opens the whole device through WinUSB, so it cannot flash "
                          "a composite device " +
                          std::string(see_needs));
    else if (!part.empty())
        t.notes.push_back("interface " + part +
                          " of a composite device: flasher-win opens the whole device through "
                          "WinUSB, so it cannot flash a composite device " +
                          see_needs);
    else if (!bound_to_winusb(d.driver))
        t.notes.push_back("bind it to WinUSB (now: " + t.detail +
                          "): see \"Binding the device to WinUSB\" in docs/windows.md");
}

} // namespace

bool is_target(const listed_device &d)
{
    return d.device.verdict != win_verdict::not_target;
}

std::string other_product(const listed_device &d)
{
    const char *id = d.device.instance_id;
    std::uint16_t vid = 0, pid = 0;
    if (is_target(d) || !id_number(id, "VID_", vid) || vid != usb_ids[0].vid ||
        !id_number(id, "PID_", pid))
        return {};
    return ids_text(vid, pid);
}

listed_target describe_device(const listed_device &d, const probe_subject &subject,
                              const dry_run *run)
{
    listed_target t;
    t.name = d.device.instance_id;
    t.detail = driver_text(d.driver);
    t.outcome = describe_outcome(d.device, subject);
    t.usable = d.device.verdict == win_verdict::chosen;
    if (t.usable)
        judge_writes(d, run, t);
    if (d.device.verdict == win_verdict::cannot_open)
        explain_open_failure(d, t);
    judge_driver(d, t);
    return t;
}
