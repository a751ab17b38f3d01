// flasher-probe: what "flasher ARGS" would do, told before anything is
// erased. It runs flasher's own front end over the dry-run back-end: the
// device search is flasher's, without the claim, and no message leaves.
#include "tools/probe/options.h"
#include "tools/probe/report.h"

#include <cstdlib>

namespace
{

const char usage_text[] =
    "Usage: flasher-probe [--paths] [signed_firmware.bin | params | erase [all] [serial]]\n"
    "       flasher-probe --help\n"
    "Tells what flasher would do with the same arguments and FLASHER_USBPATH, without\n"
    "writing to any device. Without arguments it surveys the devices only.\n"
    "  --paths   print only the usb path of each device flasher could use, one a line\n"
    "  --help    print this text\n"
    "Exit status: 0 flasher would send the whole input; 1 it would fail (the input\n"
    "cannot be read, no device it can use); 3 it would run but leave bytes of the\n"
    "file unsent, or only erase; 2 bad options.\n";

int report(const probe_findings &findings, bool paths_only)
{
    if (paths_only)
        return report_pins(findings.run, findings.plan, usable_paths(findings.walk), "flasher");
    const verdict v = judge(findings);
    print_report(stdout, findings, v);
    return v.status;
}

} // namespace

int main(int argc, char **argv)
{
    probe_options opt;
    if (const int status = parse_probe_options(argc, argv, usage_text, opt); status >= 0)
        return status;

    probe_subject subject;
    for (int i = opt.first_arg; i < argc; ++i)
        subject.args.emplace_back(argv[i]);
    subject.usb_path = std::getenv("FLASHER_USBPATH");

    if (subject.args.empty()) {
        const dryrun::walk_result walk = dryrun::walk(nullptr, subject.usb_path);
        return report({subject, nullptr, nullptr, walk}, opt.paths);
    }

    // Without a usable input flasher never searches: the devices are still
    // worth showing, searched with the selectors it would have read.
    const dry_run run = run_program_dry("flasher", argc, argv, opt.first_arg, subject.serial);
    const dryrun::walk_result walk = dryrun::searched_at_all()
                                         ? dryrun::searched()
                                         : dryrun::walk(subject.serial, subject.usb_path);
    const input_plan plan = plan_input(run, dryrun::sent());
    return report({subject, &run, &plan, walk}, opt.paths);
}
