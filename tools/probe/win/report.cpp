// The lines of flasher-probe.exe's report. Every fact in them comes from the
// dry run: the front end's own reading of the command line and the input,
// the messages it sent, and flasher-win's own steps with each device.
#include "tools/probe/win/report.h"

#include "tools/probe/input_report.h"
#include "tools/probe/run_verdict.h"
#include "tools/probe/win/pins.h"
#include "tools/probe/words.h"
#include "usb/transport.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace
{

using dryrun_win::driver_state;
using dryrun_win::listed_device;

std::string hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFFU);
    return text;
}

std::string looked_for()
{
    return hex4(usb_ids[0].vid) + ":" + hex4(usb_ids[0].pid);
}

bool is_target(const listed_device &d)
{
    return d.device.verdict != win_verdict::not_target;
}

// For a device of the table's vendor with another product ID: the IDs its
// instance ID names; "" for any other device.
std::string other_product(const listed_device &d)
{
    const char *id = d.device.instance_id;
    const std::string vid = "VID_" + hex4(usb_ids[0].vid);
    const char *pid = std::strstr(id, "PID_");
    if (is_target(d) || std::strstr(id, vid.c_str()) == nullptr || pid == nullptr)
        return {};
    return hex4(usb_ids[0].vid) + ":" +
           std::string(pid + 4, std::min<std::size_t>(4, std::strlen(pid + 4)));
}

bool is_winusb(const dryrun_win::driver_reading &driver)
{
    const char winusb[] = "winusb";
    if (driver.state != driver_state::bound || std::strlen(driver.service) != sizeof winusb - 1)
        return false;
    for (std::size_t i = 0; i < sizeof winusb - 1; ++i) {
        if (std::tolower(static_cast<unsigned char>(driver.service[i])) != winusb[i])
            return false;
    }
    return true;
}

struct error_text {
    DWORD error;
    const char *text;
};
constexpr error_text errors[] = {
    {ERROR_FILE_NOT_FOUND, "no such device interface"},
    {ERROR_ACCESS_DENIED, "access denied: another program may have it open"},
    {ERROR_GEN_FAILURE, "the device does not respond"},
    {ERROR_NOT_SUPPORTED, "not supported by its driver"},
};

std::string windows_error(DWORD error)
{
    std::string text = "Windows error " + std::to_string(error);
    for (const error_text &e : errors) {
        if (e.error == error)
            return text + ", " + e.text;
    }
    return text;
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

// True when flasher-win would search the devices at all: it does not stop
// at the command line or the input first.
bool searches(const win_probe_findings &f)
{
    return f.run == nullptr || f.run->prepared;
}

// The outcome column of a device line. Without a search no device is
// chosen: one that passes is only said to pass.
std::string outcome_text(const win_device &d, const win_probe_findings &f)
{
    switch (d.verdict) {
    case win_verdict::serial_not_in_id:
        return std::string("passed over: \"") + (f.subject.serial ? f.subject.serial : "") +
               "\" is not in its instance ID";
    case win_verdict::path_too_long:
        return "passed over: its interface path would not fit in " +
               std::to_string(interface_path_size) + " bytes";
    case win_verdict::cannot_open:
        return "fails the attempt: cannot be opened (" + windows_error(d.error) + ")";
    case win_verdict::winusb_failed:
        return "fails the attempt: WinUSB cannot be started on it (" + windows_error(d.error) + ")";
    case win_verdict::no_out_pipe:
        return "fails the attempt: neither of its first two pipes is an OUT pipe";
    case win_verdict::chosen:
        return searches(f) ? "chosen: flasher-win uses this device"
                           : "passes: flasher-win would use it, had it got this far";
    case win_verdict::taken:
    case win_verdict::id_unreadable:
    case win_verdict::not_target:
        break;
    }
    return "not a target device";
}

const listed_device *stop_device(const dryrun_win::walk_result &walk)
{
    return walk.stop < 0 ? nullptr : &walk.devices[static_cast<std::size_t>(walk.stop)];
}

void print_header(std::FILE *out, const win_probe_findings &f)
{
    if (f.run == nullptr)
        std::fprintf(out, "flasher-probe: the devices flasher-win would find; nothing is written "
                          "to any device\n");
    else
        std::fprintf(out, "flasher-probe: a dry run of \"%s\"; nothing is written to any device\n",
                     cmd_command("flasher-win", f.subject.args).c_str());
}

void print_selectors(std::FILE *out, const win_probe_findings &f)
{
    std::string text = f.subject.serial == nullptr ? "none"
                                                   : std::string("serial \"") + f.subject.serial +
                                                         "\" (anywhere in the instance ID)";
    if (f.subject.usb_path_set)
        text += "; FLASHER_USBPATH is set, and flasher-win ignores it";
    std::fprintf(out, "selectors: %s\n", text.c_str());
}

// One line per device with the table's IDs and, under each that WinUSB
// does not drive, what to do about it.
void print_device_lines(std::FILE *out, const win_probe_findings &f)
{
    const dryrun_win::walk_result &walk = f.walk;
    std::size_t id_width = 0, driver_width = 0;
    for (const listed_device &d : walk.devices) {
        if (!is_target(d))
            continue;
        id_width = std::max(id_width, std::strlen(d.device.instance_id));
        driver_width = std::max(driver_width, driver_text(d.driver).size());
    }
    const listed_device *stop = searches(f) ? stop_device(walk) : nullptr;
    for (const listed_device &d : walk.devices) {
        if (!is_target(d))
            continue;
        const std::string outcome = stop != nullptr && &d > stop
                                        ? std::string("not examined: flasher-win stops at ") +
                                              stop->device.instance_id + " before it"
                                        : outcome_text(d.device, f);
        std::fprintf(out, "  %-*s  %-*s  %s\n", static_cast<int>(id_width), d.device.instance_id,
                     static_cast<int>(driver_width), driver_text(d.driver).c_str(),
                     outcome.c_str());
        if (!is_winusb(d.driver))
            std::fprintf(out,
                         "    bind it to WinUSB (now: %s): see \"Binding the device to WinUSB\" "
                         "in docs/windows.md\n",
                         driver_text(d.driver).c_str());
    }
}

void print_devices(std::FILE *out, const win_probe_findings &f)
{
    std::fprintf(out, "build: this flasher-win looks for %s\n", looked_for().c_str());
    print_selectors(out, f);
    if (!f.walk.listed) {
        std::fprintf(out, "devices: the USB devices cannot be listed\n");
        return;
    }
    const bool none = std::none_of(f.walk.devices.begin(), f.walk.devices.end(), is_target);
    std::fprintf(out, "devices with %s, in the order flasher-win examines them:%s\n",
                 looked_for().c_str(), none ? " none attached" : "");
    print_device_lines(out, f);
    // A board that presents another product ID of the vendor is a common
    // mix-up.
    for (const listed_device &d : f.walk.devices) {
        const std::string other = other_product(d);
        if (!other.empty())
            std::fprintf(out, "  %s has %s; flasher-win looks for %s\n", d.device.instance_id,
                         other.c_str(), looked_for().c_str());
    }
}

// The serial argument that selects each usable device alone.
void print_pins(std::FILE *out, const win_probe_findings &f)
{
    const std::vector<device_pin> pins = usable_pins(f.walk);
    if (pins.empty() || !searches(f))
        return;
    const listed_device *stop = stop_device(f.walk);
    if (stop != nullptr && stop->device.verdict != win_verdict::chosen)
        std::fprintf(out,
                     "flasher-win gives up at %s; given a text only this device's instance "
                     "ID has, it passes over it:\n",
                     stop->device.instance_id);
    else
        std::fprintf(out, "to pin a device (flasher-win ignores FLASHER_USBPATH; its serial "
                          "argument takes the first device whose instance ID has it):\n");
    for (const device_pin &pin : pins)
        std::fprintf(out, "  %s  %s\n", f.walk.devices[pin.device].device.instance_id,
                     pin.text.empty() ? "no text selects it alone"
                                      : pinned_command(f, pin.text).c_str());
}

} // namespace

std::string pinned_command(const win_probe_findings &f, const std::string &serial)
{
    std::vector<std::string> args{f.subject.args.empty() ? "image.bin" : f.subject.args[0]};
    if (f.run != nullptr && f.run->request.erase_all)
        args.emplace_back("all");
    args.push_back(serial);
    return cmd_command("flasher-win", args);
}

verdict judge_win(const win_probe_findings &f)
{
    search_end end;
    end.listed = f.walk.listed;
    end.any = std::any_of(f.walk.devices.begin(), f.walk.devices.end(), is_target);
    end.ids = looked_for();
    for (const listed_device &d : f.walk.devices) {
        const std::string other = other_product(d);
        if (!other.empty())
            end.others += std::string("; ") + d.device.instance_id + " has " + other;
    }
    if (const listed_device *stop = stop_device(f.walk); stop != nullptr) {
        end.stopped = true;
        end.gives_up = stop->device.verdict != win_verdict::chosen;
        end.where = stop->device.instance_id;
    }
    return judge_run(f.run, f.plan, "flasher-win", end);
}

void print_win_report(std::FILE *out, const win_probe_findings &f, const verdict &v)
{
    print_header(out, f);
    if (f.run != nullptr)
        print_input(out, f.subject.args.empty() ? std::string() : f.subject.args[0], *f.run,
                    *f.plan);
    print_devices(out, f);
    print_pins(out, f);
    std::fprintf(out, "verdict: %s\n", v.text.c_str());
}
