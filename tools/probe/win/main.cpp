// flasher-probe.exe: what "flasher-win ARGS" would do, told before anything
// is erased. It runs flasher-win's own front end over the Windows dry-run
// back-end: the device search is flasher-win's, each device it would take is
// opened and closed again, and no message leaves.
#include "tools/probe/options.h"
#include "tools/probe/win/pins.h"
#include "tools/probe/win/report.h"

#include <cstdlib>

namespace
{

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

int report(const win_probe_findings &findings, bool paths_only)
{
    if (paths_only) {
        std::vector<std::string> texts;
        for (const device_pin &pin : usable_pins(findings.walk)) {
            if (!pin.text.empty())
                texts.push_back(pin.text);
        }
        return report_pins(findings.run, findings.plan, texts, "flasher-win");
    }
    const verdict v = judge_win(findings);
    print_win_report(stdout, findings, v);
    return v.status;
}

} // namespace

int main(int argc, char **argv)
{
    probe_options opt;
    if (const int status = parse_probe_options(argc, argv, usage_text, opt); status >= 0)
        return status;

    win_probe_subject subject;
    for (int i = opt.first_arg; i < argc; ++i)
        subject.args.emplace_back(argv[i]);
    subject.usb_path_set = std::getenv("FLASHER_USBPATH") != nullptr;

    if (subject.args.empty()) {
        const dryrun_win::walk_result walk = dryrun_win::walk(nullptr);
        return report({subject, nullptr, nullptr, walk}, opt.paths);
    }

    // Without a usable input flasher-win never searches: the devices are
    // still worth showing, searched with the serial it would have read.
    const dry_run run = run_program_dry("flasher-win", argc, argv, opt.first_arg, subject.serial);
    const dryrun_win::walk_result walk =
        dryrun_win::searched_at_all() ? dryrun_win::searched() : dryrun_win::walk(subject.serial);
    const input_plan plan = plan_input(run, dryrun::sent());
    return report({subject, &run, &plan, walk}, opt.paths);
}
