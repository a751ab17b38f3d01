// flasher-probe: what "flasher ARGS" would do, told before anything is
// erased. It runs flasher's own front end over the dry-run back-end: the
// device search is flasher's, without the claim, and no message leaves.
#include "tools/probe/input_report.h"
#include "tools/probe/report.h"

#include <cstdlib>
#include <cstring>

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

struct options {
    bool paths = false;
    int first_arg = 0; // index of flasher's first argument in argv
};

// Returns -1 when parsed, else the exit status.
int parse_options(int argc, char **argv, options &opt)
{
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        }
        if (std::strcmp(argv[i], "--paths") == 0) {
            opt.paths = true;
        } else if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(usage_text, stdout);
            return probe_would_succeed;
        } else {
            std::fprintf(stderr, "flasher-probe: unknown option %s\n%s", argv[i], usage_text);
            return probe_bad_options;
        }
    }
    opt.first_arg = i;
    return -1;
}

// What the input alone comes to for --paths, whichever device is pinned:
// the devices listed are each meant to be pinned, so a device that would
// stop an unpinned run, and is not listed, must not change it.
verdict judge_input_alone(const probe_findings &findings)
{
    const dry_run *run = findings.run;
    if (run == nullptr)
        return {probe_would_succeed, {}};
    if (!run->prepared)
        return {probe_would_fail, "flasher would stop at once: " + run->last_line};
    if (run->status != 0)
        return {probe_would_fail, "flasher would fail: " + run->last_line};
    return judge_input(*findings.plan, "flasher", "each device");
}

// Only the usable devices' paths, and only when flasher could take the input.
int report_paths(const probe_findings &findings)
{
    const verdict input = judge_input_alone(findings);
    if (input.status == probe_would_fail) {
        std::fprintf(stderr, "flasher-probe: %s\n", input.text.c_str());
        return input.status;
    }
    const std::vector<std::string> paths = usable_paths(findings.walk);
    if (paths.empty()) {
        std::fprintf(stderr, "flasher-probe: no device flasher could use\n");
        return probe_would_fail;
    }
    for (const std::string &path : paths)
        std::printf("%s\n", path.c_str());
    if (input.status != probe_would_succeed)
        std::fprintf(stderr, "flasher-probe: %s\n", input.text.c_str());
    return input.status;
}

int report(const probe_findings &findings, bool paths_only)
{
    if (paths_only)
        return report_paths(findings);
    const verdict v = judge(findings);
    print_report(stdout, findings, v);
    return v.status;
}

} // namespace

int main(int argc, char **argv)
{
    options opt;
    if (const int status = parse_options(argc, argv, opt); status >= 0)
        return status;

    probe_subject subject;
    for (int i = opt.first_arg; i < argc; ++i)
        subject.args.emplace_back(argv[i]);
    subject.usb_path = std::getenv("FLASHER_USBPATH");

    if (subject.args.empty()) {
        const dryrun::walk_result walk = dryrun::walk(nullptr, subject.usb_path);
        return report({subject, nullptr, nullptr, walk}, opt.paths);
    }

    // flasher's own argument vector: its name, then the same arguments.
    std::vector<char *> flasher_argv{const_cast<char *>("flasher")};
    for (int i = opt.first_arg; i < argc; ++i)
        flasher_argv.push_back(argv[i]);
    flasher_argv.push_back(nullptr);
    const int flasher_argc = static_cast<int>(flasher_argv.size()) - 1;
    const dry_run run = run_dry(flasher_argc, flasher_argv.data());
    // Without a usable input flasher never searches: the devices are still
    // worth showing, searched with the selectors it would have read.
    run_request selectors;
    parse_selectors(flasher_argc, flasher_argv.data(), selectors);
    subject.serial = selectors.serial;
    const dryrun::walk_result walk = dryrun::searched_at_all()
                                         ? dryrun::searched()
                                         : dryrun::walk(subject.serial, subject.usb_path);
    const input_plan plan = plan_input(run, dryrun::sent());
    return report({subject, &run, &plan, walk}, opt.paths);
}
