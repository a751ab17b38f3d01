// The lines of the report. Every fact in them comes from the dry run: the
// front end's own reading of the command line and the input, the messages
// it sent, and the libusb back-end's own checks of each device.
#include "tools/probe/report.h"

#include "tools/probe/input_report.h"
#include "tools/probe/words.h"
#include "usb/transport.h"

#include <algorithm>
#include <cstring>

namespace
{

std::string device_name(const device_examination &ex)
{
    return ex.path_known ? std::string(ex.path) : std::string("a device with no usb path");
}

std::string flasher_command(const probe_subject &subject)
{
    if (subject.args.empty())
        return "flasher ...";
    return shell_command("flasher", subject.args);
}

struct open_error_text {
    int error;
    const char *text;
};
constexpr open_error_text open_errors[] = {
    {LIBUSB_ERROR_ACCESS, "permission denied"},
    {LIBUSB_ERROR_BUSY, "busy: another program holds it"},
    {LIBUSB_ERROR_NO_DEVICE, "gone: unplugged while it was examined"},
};

std::string cannot_open_text(int error)
{
    for (const open_error_text &e : open_errors) {
        if (e.error == error)
            return e.text;
    }
    return libusb_strerror(error);
}

// Why a device is passed over, or why it ends the attempt.
std::string outcome_text(const device_examination &ex, const probe_findings &f)
{
    const char *serial = f.run != nullptr ? f.run->request.serial : nullptr;
    switch (ex.verdict) {
    case device_verdict::no_path:
        return "passed over: its usb path cannot be built, and FLASHER_USBPATH is set";
    case device_verdict::path_differs:
        return std::string("passed over: its usb path is not FLASHER_USBPATH \"") +
               f.subject.usb_path + "\"";
    case device_verdict::config_unreadable:
        return "passed over: its active configuration cannot be read";
    case device_verdict::cannot_open:
        return "passed over: cannot be opened: " + cannot_open_text(ex.open_error);
    case device_verdict::serial_differs:
        return std::string("passed over: its serial is not \"") + (serial ? serial : "") + "\"";
    case device_verdict::no_interface:
        return "fails the attempt: its configuration has no interface";
    case device_verdict::no_alt_setting:
        return "fails the attempt: interface 0 has no alternate setting";
    case device_verdict::no_out_endpoint:
        return "fails the attempt: interface 0, setting 0, has no OUT endpoint";
    case device_verdict::chosen:
        return "chosen: flasher uses this device";
    case device_verdict::not_target:
        break;
    }
    return "not a target device";
}

std::string serial_text(const device_examination &ex)
{
    if (!ex.serial_read)
        return "serial not read";
    if (ex.serial_status < 0)
        return "serial unreadable (libusb " + std::to_string(ex.serial_status) + ")";
    return std::string("serial \"") + ex.serial + "\"";
}

void print_header(std::FILE *out, const probe_findings &f)
{
    if (f.run == nullptr)
        std::fprintf(out, "flasher-probe: the devices flasher would find; nothing is written to "
                          "any device\n");
    else
        std::fprintf(out, "flasher-probe: a dry run of \"%s\"; nothing is written to any device\n",
                     flasher_command(f.subject).c_str());
}

void print_selectors(std::FILE *out, const probe_findings &f)
{
    const char *serial = f.run != nullptr ? f.run->request.serial : nullptr;
    std::string text;
    if (serial != nullptr)
        text = std::string("serial \"") + serial + "\" (equal to the device's serial)";
    if (f.subject.usb_path != nullptr)
        text += std::string(text.empty() ? "" : ", ") + "FLASHER_USBPATH \"" + f.subject.usb_path +
                "\"";
    std::fprintf(out, "selectors: %s\n", text.empty() ? "none" : text.c_str());
}

void print_devices(std::FILE *out, const probe_findings &f)
{
    const dryrun::walk_result &walk = f.walk;
    std::fprintf(out, "build: this flasher looks for %04X:%04X\n", usb_ids[0].vid, usb_ids[0].pid);
    print_selectors(out, f);
    if (!walk.listed) {
        std::fprintf(out, "devices: the USB devices cannot be listed\n");
        return;
    }
    std::fprintf(out, "devices with %04X:%04X, in the order flasher examines them:%s\n",
                 usb_ids[0].vid, usb_ids[0].pid, walk.devices.empty() ? " none attached" : "");
    std::size_t path_width = 0, serial_width = 0;
    for (const device_examination &ex : walk.devices) {
        path_width = std::max(path_width, device_name(ex).size());
        serial_width = std::max(serial_width, serial_text(ex).size());
    }
    bool denied = false;
    for (std::size_t i = 0; i < walk.devices.size(); ++i) {
        const device_examination &ex = walk.devices[i];
        std::string outcome = outcome_text(ex, f);
        if (walk.stop >= 0 && i > static_cast<std::size_t>(walk.stop))
            outcome = "not examined: flasher stops at " + device_name(walk.devices[walk.stop]) +
                      " before it";
        std::fprintf(out, "  %-*s  %-*s  %s\n", static_cast<int>(path_width),
                     device_name(ex).c_str(), static_cast<int>(serial_width),
                     serial_text(ex).c_str(), outcome.c_str());
        denied = denied || (ex.verdict == device_verdict::cannot_open &&
                            ex.open_error == LIBUSB_ERROR_ACCESS);
    }
    if (denied)
        std::fprintf(out,
                     "permission denied: install flasher's udev rule (70-flasher.rules, in the "
                     "flasher package or from \"sudo cmake --install build\"), then run \"sudo "
                     "udevadm control --reload-rules && sudo udevadm trigger\"; over ssh or as a "
                     "service, the user must also be in the group plugdev\n");
}

// The FLASHER_USBPATH lines that pin each usable device, when flasher on its
// own would not make the choice plainly: several usable, or it gives up first.
void print_pins(std::FILE *out, const probe_findings &f)
{
    const std::vector<std::string> paths = usable_paths(f.walk);
    if (paths.empty())
        return;
    const bool gives_up = f.walk.stop >= 0 && ends_attempt(f.walk.devices[f.walk.stop].verdict);
    if (paths.size() < 2 && !gives_up)
        return;
    if (gives_up)
        std::fprintf(out, "flasher gives up at %s; pinned, it passes over it:\n",
                     device_name(f.walk.devices[f.walk.stop]).c_str());
    else
        std::fprintf(out,
                     "several devices pass: flasher takes the first it examines, %s; to pin one:\n",
                     paths[0].c_str());
    const std::string command = flasher_command(f.subject);
    for (const std::string &path : paths)
        std::fprintf(out, "  FLASHER_USBPATH=%s %s\n", shell_word(path).c_str(), command.c_str());
}

} // namespace

std::vector<std::string> usable_paths(const dryrun::walk_result &walk)
{
    std::vector<std::string> paths;
    for (const device_examination &ex : walk.devices) {
        if (ex.verdict == device_verdict::chosen && ex.path_known)
            paths.emplace_back(ex.path);
    }
    return paths;
}

verdict judge(const probe_findings &f)
{
    if (f.run != nullptr && !f.run->prepared)
        return {probe_would_fail, "flasher would stop at once: " + f.run->last_line};
    if (!f.walk.listed)
        return {probe_would_fail, "flasher would give up: the USB devices cannot be listed"};
    if (f.walk.stop < 0)
        return {probe_would_fail, f.walk.devices.empty()
                                      ? "flasher would give up: no device is attached"
                                      : "flasher would give up: no device passes"};
    const device_examination &ex = f.walk.devices[f.walk.stop];
    const std::string where = device_name(ex);
    if (ends_attempt(ex.verdict))
        return {probe_would_fail, "flasher would give up: every attempt fails at " + where};
    if (f.run == nullptr)
        return {probe_would_succeed, "flasher would use " + where};
    if (f.run->status != 0)
        return {probe_would_fail, "flasher would fail on " + where + ": " + f.run->last_line};
    return judge_input(*f.plan, "flasher", where);
}

void print_report(std::FILE *out, const probe_findings &f, const verdict &v)
{
    print_header(out, f);
    if (f.run != nullptr)
        print_input(out, f.subject.args.empty() ? std::string() : f.subject.args[0], *f.run,
                    *f.plan);
    print_devices(out, f);
    print_pins(out, f);
    std::fprintf(out, "verdict: %s\n", v.text.c_str());
}
