// flasher-probe.exe's part of the report. Every fact in it comes from the dry
// run: flasher-win's own steps with each device, and the driver it is bound
// to.
#include "tools/probe/win/report.h"

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

bool is_target(const listed_device &d)
{
    return d.device.verdict != win_verdict::not_target;
}

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

// For a device of the table's vendor with another product ID: the IDs its
// instance ID names; "" for any other device.
std::string other_product(const listed_device &d)
{
    const char *id = d.device.instance_id;
    std::uint16_t vid = 0, pid = 0;
    if (is_target(d) || !id_number(id, "VID_", vid) || vid != usb_ids[0].vid ||
        !id_number(id, "PID_", pid))
        return {};
    return ids_text(vid, pid);
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

device_outcome describe_outcome(const win_device &d, const probe_subject &subject)
{
    if (d.verdict == win_verdict::chosen)
        return {outcome_kind::chosen, {}, {}};
    // The walk says which verdicts end the attempt.
    return {ends_attempt(d.verdict) ? outcome_kind::fails_attempt : outcome_kind::passed_over,
            why_not_chosen(d, subject),
            {}};
}

listed_target listed(const dryrun_win::walk_result &walk, std::size_t index,
                     const probe_subject &subject)
{
    const listed_device &d = walk.devices[index];
    listed_target t;
    t.name = d.device.instance_id;
    t.detail = driver_text(d.driver);
    t.outcome = describe_outcome(d.device, subject);
    if (!is_winusb(d.driver))
        t.notes.push_back("bind it to WinUSB (now: " + t.detail +
                          "): see \"Binding the device to WinUSB\" in docs/windows.md");
    t.usable = d.device.verdict == win_verdict::chosen;
    if (t.usable)
        t.pin = pin_text(walk, index);
    return t;
}

std::string selectors_text(const probe_subject &subject)
{
    std::string text = subject.serial == nullptr ? "none"
                                                 : std::string("serial \"") + subject.serial +
                                                       "\" (anywhere in the instance ID)";
    if (subject.usb_path != nullptr)
        text += "; FLASHER_USBPATH is set, and flasher-win ignores it";
    return text;
}

// --help: the report's parts, with what flasher-probe.exe tells in each.
const char usage_text[] =
    "Usage: flasher-probe [--paths] [signed_firmware.bin | params | erase [all] [serial]]\n"
    "       flasher-probe --help\n"
    "Tells what flasher-win would do with the same arguments, without writing to any\n"
    "device. Without arguments it lists the devices only. The report:\n"
    "  input:    the mode flasher-win takes and why, what of the file it sends and\n"
    "            what it leaves, as flasher-probe tells it for flasher.\n"
    "  devices:  every present USB device with flasher-win's vendor and product ID,\n"
    "            in the order flasher-win examines them: its instance ID, the driver\n"
    "            it is bound to (WinUSB, another by name, or none) and what\n"
    "            flasher-win makes of it: chosen; passed over (the serial is not in\n"
    "            its instance ID; its path would not fit); or the attempt failing\n"
    "            there (it cannot be opened; WinUSB cannot be started on it; neither\n"
    "            of its first two pipes is an OUT pipe). flasher-win takes the first\n"
    "            device whose instance ID matches and stops there even when it\n"
    "            cannot use it: a device behind it is never reached. Devices of the\n"
    "            vendor with another product ID are named with the ID they have.\n"
    "            Under each device not bound to WinUSB, the remedy: bind it to\n"
    "            WinUSB, as \"Binding the device to WinUSB\" in docs/windows.md tells.\n"
    "  pins:     flasher-win has no usb path and ignores FLASHER_USBPATH; its serial\n"
    "            argument matches any part of the instance ID. For each device it\n"
    "            could use: the shortest text that selects that device alone (its\n"
    "            serial, else a part of its instance ID) in a flasher-win line.\n"
    "  verdict:  what flasher-win would do, in one line.\n"
    "  --paths   print only the text that pins each device flasher-win could use,\n"
    "            one a line; nothing when it could not take the input\n"
    "  --help    print this text\n"
    "Exit status: 0 flasher-win would send the whole input; 1 it would fail (the\n"
    "input cannot be read, no device it can use); 3 it would run but leave bytes of\n"
    "the file unsent, or only erase; 2 bad options.\n";

} // namespace

const probe_build flasher_win_probe{"flasher-win", usage_text, cmd_command, search_winusb,
                                    print_serial_pins};

listed_search win_listed_search(const dryrun_win::walk_result &walk, const probe_subject &subject,
                                const dry_run * /*run*/)
{
    listed_search search;
    search.listed = walk.listed;
    search.selectors.push_back(selectors_text(subject));
    const std::string looked_for = ids_text(usb_ids[0].vid, usb_ids[0].pid);
    for (std::size_t i = 0; i < walk.devices.size(); ++i) {
        const listed_device &d = walk.devices[i];
        if (const std::string other = other_product(d); !other.empty()) {
            search.other_products.push_back(std::string(d.device.instance_id) + " has " + other +
                                            "; flasher-win looks for " + looked_for);
            search.others += std::string("; ") + d.device.instance_id + " has " + other;
        }
        if (!is_target(d))
            continue;
        if (static_cast<int>(i) == walk.stop)
            search.stop = static_cast<int>(search.devices.size());
        search.devices.push_back(listed(walk, i, subject));
    }
    return search;
}

listed_search search_winusb(const probe_subject &subject, const dry_run *run)
{
    if (dryrun::searched_at_all())
        return win_listed_search(dryrun_win::searched(), subject, run);
    return win_listed_search(dryrun_win::walk(subject.serial), subject, run);
}

std::string pinned_command(const probe_findings &f, const std::string &serial)
{
    std::vector<std::string> args{f.subject.args.empty() ? "image.bin" : f.subject.args[0]};
    if (f.run != nullptr && f.run->request.erase_all)
        args.emplace_back("all");
    args.push_back(serial);
    return cmd_command("flasher-win", args);
}

void print_serial_pins(std::FILE *out, const probe_build & /*build*/, const probe_findings &f)
{
    const std::vector<listed_target> &devices = f.search.devices;
    const bool any = std::any_of(devices.begin(), devices.end(),
                                 [](const listed_target &d) { return d.usable; });
    if (!any || !searches(f))
        return;
    const listed_target *stop = stop_device(f.search);
    if (stop != nullptr && stop->outcome.kind != outcome_kind::chosen)
        std::fprintf(out,
                     "flasher-win gives up at %s; given a text only this device's instance "
                     "ID has, it passes over it:\n",
                     stop->name.c_str());
    else
        std::fprintf(out, "to pin a device (flasher-win ignores FLASHER_USBPATH; its serial "
                          "argument takes the first device whose instance ID has it):\n");
    for (const listed_target &d : devices) {
        if (d.usable)
            std::fprintf(out, "  %s  %s\n", d.name.c_str(),
                         d.pin.empty() ? "no text selects it alone"
                                       : pinned_command(f, d.pin).c_str());
    }
}
