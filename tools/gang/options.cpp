#include "tools/gang/options.h"

#include <cstdio>
#include <cstring>

namespace
{

const char usage_text[] =
    "Usage: flasher-gang [options] signed_firmware.bin | params | erase [all]\n"
    "Flashes every attached target device at once: one flasher per device, pinned\n"
    "to it by FLASHER_USBPATH. The input is read once, before any device is touched,\n"
    "and every device gets the same bytes.\n"
    "With --watch it runs until stopped and flashes each board as it is plugged in,\n"
    "once per plug-in.\n"
    "Options:\n"
    "  --logs DIR       each run works in a new directory under DIR (default\n"
    "                   flasher-gang-logs): the input's snapshot, a log per device,\n"
    "                   the run's own record\n"
    "  --record FILE    also append one JSON line per device to FILE\n"
    "  --json           JSON Lines on stdout (the records and progress events)\n"
    "                   instead of the progress and the table\n"
    "  --quiet          no progress, only the summary\n"
    "  --skip-unusable  devices flasher cannot use are listed but do not fail the run\n"
    "  --watch          wait for boards and flash each as it arrives, until INT,\n"
    "                   TERM or HUP\n"
    "  --skip-done      do not flash a board whose serial already has an ok line for\n"
    "                   this image in the --record file\n"
    "  --help           print this text\n"
    "Exit status: 0 every device was flashed successfully (or skipped as done); 1 a\n"
    "device failed or was not flashed, no device is attached, or the input cannot be\n"
    "read; 2 bad usage; 130 interrupted (INT, TERM or HUP). With --watch, INT, TERM\n"
    "and HUP end the session: 0 when every board of it succeeded or was skipped.\n";

int usage_error(const char *what, const char *detail)
{
    std::fprintf(stderr, "flasher-gang: %s%s\n%s", what, detail, usage_text);
    return gang_usage;
}

// The options that take a value.
struct valued_option {
    const char *name;
    std::string gang_options::*field;
};
constexpr valued_option valued_options[] = {
    {"--logs", &gang_options::logs},
    {"--record", &gang_options::record},
};

struct flag_option {
    const char *name;
    bool gang_options::*field;
};
constexpr flag_option flag_options[] = {
    {"--json", &gang_options::json},
    {"--quiet", &gang_options::quiet},
    {"--skip-unusable", &gang_options::skip_unusable},
    {"--watch", &gang_options::watch},
    {"--skip-done", &gang_options::skip_done},
};

// Takes the option at argv[i]; returns how many arguments it used, 0 when
// it is none of ours.
int take_option(int argc, char **argv, int i, gang_options &opt)
{
    for (const flag_option &f : flag_options) {
        if (std::strcmp(argv[i], f.name) == 0) {
            opt.*(f.field) = true;
            return 1;
        }
    }
    for (const valued_option &v : valued_options) {
        if (std::strcmp(argv[i], v.name) != 0)
            continue;
        if (i + 1 >= argc || argv[i + 1][0] == '\0')
            return -1;
        opt.*(v.field) = argv[i + 1];
        return 2;
    }
    return 0;
}

} // namespace

int parse_gang_options(int argc, char **argv, gang_options &opt)
{
    int i = 1;
    while (i < argc && std::strncmp(argv[i], "--", 2) == 0) {
        if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(usage_text, stdout);
            return gang_all_ok;
        }
        const int used = take_option(argc, argv, i, opt);
        if (used < 0)
            return usage_error(argv[i], " needs a value");
        if (used == 0)
            return usage_error("unknown option ", argv[i]);
        i += used;
    }
    if (i >= argc)
        return usage_error("no input given", "");
    opt.input = argv[i++];
    if (i < argc && std::strcmp(argv[i], "all") == 0) {
        opt.erase_all = true;
        ++i;
    }
    if (i < argc)
        return usage_error("only \"all\" may follow the input: every device is flashed, so no "
                           "serial; got ",
                           argv[i]);
    if (opt.skip_done && (opt.record.empty() || opt.input == "erase"))
        return usage_error("--skip-done needs --record FILE and an image or parameter file", "");
    return -1;
}
