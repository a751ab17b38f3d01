#include "tools/probe/probe_main.h"

#include "tools/probe/options.h"
#include "usb/dryrun/sent_messages.h"

#include <cstdlib>
#include <optional>

int probe_main(int argc, char **argv, const probe_build &build)
{
    probe_options opt;
    if (const int status = parse_probe_options(argc, argv, build.usage, opt); status >= 0)
        return status;

    probe_subject subject;
    for (int i = opt.first_arg; i < argc; ++i)
        subject.args.emplace_back(argv[i]);
    subject.usb_path = std::getenv("FLASHER_USBPATH");

    // Without arguments the devices are surveyed alone. Without a usable
    // input the program never searches: the devices are still worth showing,
    // searched with the selectors it would have read.
    std::optional<dry_run> run;
    std::optional<input_plan> plan;
    if (!subject.args.empty()) {
        run = run_program_dry(build.program, argc, argv, opt.first_arg, subject.serial);
        plan = plan_input(*run, dryrun::sent());
    }
    const listed_search search = build.search(subject, run ? &*run : nullptr);
    const probe_findings findings{subject, run ? &*run : nullptr, plan ? &*plan : nullptr, search};

    if (opt.paths)
        return report_pins(findings.run, findings.plan, usable_pins(search), build.program);
    const verdict v = judge(build, findings);
    print_report(stdout, build, findings, v);
    return v.status;
}
