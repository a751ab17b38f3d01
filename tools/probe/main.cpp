// flasher-probe: what "flasher ARGS" would do, told before anything is
// erased. It runs flasher's own front end over the dry-run back-end: the
// device search is flasher's, without the claim, and no message leaves.
#include "tools/probe/report.h"

#include <cstdlib>
#include <cstring>

namespace
{

const char usage_text[] =
    "Usage: flasher-probe [--paths] [signed_firmware.bin | params | erase [all] [serial]]\n"
    "Tells what flasher would do with the same arguments and FLASHER_USBPATH, without\n"
    "writing to any device. Without arguments it surveys the devices only.\n"
    "  --paths   print only the usb path of each device flasher could use, one a line\n"
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

int report(const probe_findings &findings, bool paths_only)
{
    const verdict v = judge(findings);
    if (!paths_only) {
        print_report(stdout, findings, v);
        return v.status;
    }
    const std::vector<std::string> paths = usable_paths(findings.walk);
    for (const std::string &path : paths)
        std::printf("%s\n", path.c_str());
    // Each listed device is meant to be pinned on its own: a device that
    // would stop an unpinned run does not stop those.
    const bool input_ok =
        findings.run == nullptr || (findings.run->prepared && findings.run->status == 0);
    const int status = !input_ok || paths.empty()      ? probe_would_fail
                       : v.status == probe_would_leave ? probe_would_leave
                                                       : probe_would_succeed;
    if (status != probe_would_succeed)
        std::fprintf(stderr, "flasher-probe: %s\n",
                     paths.empty() && input_ok ? "no device flasher could use" : v.text.c_str());
    return status;
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
    const dry_run run = run_dry(static_cast<int>(flasher_argv.size()) - 1, flasher_argv.data());
    // Without a usable input flasher never searches: the devices are still
    // worth showing, searched with the same selectors.
    const dryrun::walk_result walk = dryrun::searched_at_all()
                                         ? dryrun::searched()
                                         : dryrun::walk(run.request.serial, subject.usb_path);
    const input_plan plan = plan_input(run, dryrun::sent());
    return report({subject, &run, &plan, walk}, opt.paths);
}
