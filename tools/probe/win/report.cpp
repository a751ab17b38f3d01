// flasher-probe.exe's part of the report. Every fact in it comes from the dry
// run: flasher-win's own steps with each device, and the driver it is bound
// to.
#include "tools/probe/win/report.h"

#include "tools/probe/win/device_report.h"
#include "tools/probe/win/pins.h"
#include "tools/probe/words.h"
#include "usb/transport.h"

#include <algorithm>
#include <cctype>

namespace
{

using dryrun_win::listed_device;

// The serial as Windows writes a device's serial into its instance ID: in
// capitals (ASCII letters).
std::string in_capitals(const std::string &text)
{
    std::string upper = text;
    for (char &c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

// The selectors line and, for a serial with lower-case letters, what
// flasher-win's case-sensitive match makes of it.
std::vector<std::string> selector_lines(const probe_subject &subject, const dry_run *run)
{
    std::string text = subject.serial == nullptr ? "none"
                                                 : std::string("serial \"") + subject.serial +
                                                       "\" (anywhere in the instance ID)";
    if (subject.usb_path != nullptr)
        text += "; FLASHER_USBPATH is set, and flasher-win ignores it";
    if (subject.serial == nullptr || in_capitals(subject.serial) == subject.serial)
        return {text};
    return {text,
            std::string("\"") + subject.serial +
                "\" has lower-case letters: Windows writes a serial in capitals in the instance "
                "ID, and flasher-win compares case-sensitively; in capitals: " +
                pinned_command(subject, run, in_capitals(subject.serial))};
}

// --help: the report's parts, with what flasher-probe.exe tells in each.
const char usage_text[] =
    "Usage: flasher-probe [--paths] [signed_firmware.bin | params | erase [all] [serial]]\n"
    "       flasher-probe --help\n"
    "Tells what flasher-win would do with the same arguments, without writing to any\n"
    "device. Without arguments it lists the devices only. The report:\n"
    "  input:    the mode flasher-win takes and why, what of the file it sends and\n"
    "            what it leaves, as flasher-probe tells it for flasher.\n"
    "  selectors: the serial, which flasher-win looks for anywhere in the instance\n"
    "            ID, case-sensitively; Windows writes a serial there in capitals.\n"
    "  devices:  every present USB device with flasher-win's vendor and product ID,\n"
    "            in the order flasher-win examines them: its instance ID, the driver\n"
    "            it is bound to (WINUSB, another by name, or none) and what\n"
    "            flasher-win makes of it: chosen; passed over (the serial is not in\n"
    "            its instance ID; its path would not fit); the attempt failing\n"
    "            there (it cannot be opened; WinUSB cannot be started on it; neither\n"
    "            of its first two pipes is an OUT pipe), with Windows' own text for\n"
    "            the error and, for a WinUSB device, its Device Manager problem code;\n"
    "            or taken and failing at the first write, when the device has no\n"
    "            bulk OUT pipe 0x02, the pipe flasher-win writes to. flasher-win takes\n"
    "            the first device whose instance ID matches and stops there even\n"
    "            when it cannot use it: a device behind it is never reached. Devices\n"
    "            of the vendor with another product ID are named with the ID they\n"
    "            have. Under each device not bound to WinUSB, the remedy: bind it to\n"
    "            WinUSB, as \"Binding the device to WinUSB\" in docs/windows.md tells;\n"
    "            a composite device (driver usbccgp, or an MI_xx part of one)\n"
    "            cannot be flashed with flasher-win at all.\n"
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
                                const dry_run *run)
{
    listed_search search;
    search.listed = walk.listed;
    search.selectors = selector_lines(subject, run);
    const std::string looked_for = ids_text(usb_ids[0].vid, usb_ids[0].pid);
    for (std::size_t i = 0; i < walk.devices.size(); ++i) {
        const listed_device &d = walk.devices[i];
        if (const std::string other = other_product(d); !other.empty()) {
            std::string has = d.device.instance_id;
            has.append(" has ").append(other);
            search.others.append("; ").append(has);
            search.other_products.push_back(
                has.append("; flasher-win looks for ").append(looked_for));
        }
        if (!is_target(d))
            continue;
        if (static_cast<int>(i) == walk.stop)
            search.stop = static_cast<int>(search.devices.size());
        listed_target t = describe_device(d, subject, run);
        if (t.usable)
            t.pin = pin_text(walk, i);
        search.devices.push_back(std::move(t));
    }
    return search;
}

listed_search search_winusb(const probe_subject &subject, const dry_run *run)
{
    if (dryrun::searched_at_all())
        return win_listed_search(dryrun_win::searched(), subject, run);
    return win_listed_search(dryrun_win::walk(subject.serial), subject, run);
}

std::string pinned_command(const probe_subject &subject, const dry_run *run,
                           const std::string &serial)
{
    std::vector<std::string> args{subject.args.empty() ? "image.bin" : subject.args[0]};
    if (run != nullptr && run->request.erase_all)
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
    if (stop != nullptr && !stop->usable)
        std::fprintf(out,
                     "flasher-win %s %s; given a serial argument that only one device's "
                     "instance ID contains, it passes over %s to that device:\n",
                     stop->outcome.kind == outcome_kind::fails_attempt ? "gives up at" : "fails on",
                     stop->name.c_str(), stop->name.c_str());
    else
        std::fprintf(out, "to choose a device, give flasher-win a serial argument that only its "
                          "instance ID contains (flasher-win ignores FLASHER_USBPATH):\n");
    for (const listed_target &d : devices) {
        if (d.usable)
            std::fprintf(out, "  %s  %s\n", d.name.c_str(),
                         d.pin.empty() ? "no text selects it alone"
                                       : pinned_command(f.subject, f.run, d.pin).c_str());
    }
}
