// The command line of flasher-vdev.
#include "tools/vdev/options.h"
#include "tools/vdev/vdev.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#if !defined(FLASHER_VDEV_DEFAULT_VID) || !defined(FLASHER_VDEV_DEFAULT_PID)
#error "the build must define FLASHER_VDEV_DEFAULT_VID and FLASHER_VDEV_DEFAULT_PID"
#endif

namespace vdev
{

namespace
{

const char usage_text[] =
    "Usage: flasher-vdev [options] -- COMMAND [ARGS...]\n"
    "Runs COMMAND against virtual target devices and tells what each received.\n"
    "Options:\n"
    "  --device SPEC         add a device (repeatable; default: one device)\n"
    "                        SPEC is KEY=VALUE or FLAG items joined by commas:\n"
    "                        vid=HEX pid=HEX serial=TEXT path=BUS[-PORT[.PORT...]]\n"
    "                        endpoints=EP[:EP...] (hex, in order) service-us=N\n"
    "                        stall=N timeout=N short=N:K gone=N (bulk transfer N\n"
    "                        from 0; after an arrive=, of that plug-in)\n"
    "                        unconfigured no-interface no-out no-open serial-fails\n"
    "                        no-access (the node has mode 0000: EACCES unless root)\n"
    "                        held=DRIVER (another holds interface 0: its claim and\n"
    "                        bulk URBs fail with EBUSY)\n"
    "                        arrive=SECONDS leave=SECONDS (repeatable, in turn, each\n"
    "                        later, from the command's start: plugged in and out\n"
    "                        with uevents, at a new address each time)\n"
    "  --fast-pauses         the command's sleeps return at once (still recorded)\n"
    "  --account FILE        write the account to FILE instead of standard error\n"
    "  --json                write the account as JSON\n"
    "  --expect-image FILE   check the device received what FILE puts on the wire\n"
    "  --expect-params FILE  check the device received FILE as a parameter block\n"
    "                        (either: when a device arrives or leaves, each\n"
    "                        plug-in that received anything)\n"
    "  --check-each          check every device that received anything, not only\n"
    "                        the first (several programs flashing at once)\n"
    "  --help                print this text\n"
    "Exit status: the command's (128+N when a signal N ends it); 3 when an\n"
    "expectation is not met; 2 for bad options, an expected file that cannot be\n"
    "read or is no 256-byte parameter file, an account file that cannot be\n"
    "written, or devices that clash, all found before the command starts; 127\n"
    "when the command cannot be started, the shim is missing or, for arrive=\n"
    "and leave=, umockdev's preload library.\n";

// The options that take a value, and what the value is called.
struct valued_option {
    const char *name;
    const char *value_name;
    const char *options::*field; // null for --device, which may repeat
};

constexpr valued_option valued_options[] = {
    {"--device", "SPEC", nullptr},
    {"--account", "FILE", &options::account_file},
    {"--expect-image", "FILE", &options::expect_image},
    {"--expect-params", "FILE", &options::expect_params},
};

// The options that are flags.
struct flag_option {
    const char *name;
    bool options::*field;
};

constexpr flag_option flag_options[] = {
    {"--fast-pauses", &options::fast_pauses},
    {"--json", &options::json},
    {"--check-each", &options::check_each},
};

const flag_option *flag_option_named(const std::string &name)
{
    for (const flag_option &f : flag_options) {
        if (name == f.name)
            return &f;
    }
    return nullptr;
}

const valued_option *valued_option_named(const std::string &name)
{
    for (const valued_option &v : valued_options) {
        if (name == v.name)
            return &v;
    }
    return nullptr;
}

int usage_error(const std::string &what)
{
    std::fprintf(stderr, "flasher-vdev: %s\n%s", what.c_str(), usage_text);
    return exit_usage;
}

device_spec default_spec(std::size_t index)
{
    device_spec spec;
    spec.vid = FLASHER_VDEV_DEFAULT_VID;
    spec.pid = FLASHER_VDEV_DEFAULT_PID;
    spec.serial = "vdev-" + std::to_string(index + 1);
    spec.bus = 1;
    spec.ports = {static_cast<unsigned>(index + 1)};
    return spec;
}

} // namespace

int parse_options(int argc, char **argv, options &opt)
{
    std::vector<const char *> specs;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string a = argv[i];
        if (a == "--help") {
            std::fputs(usage_text, stdout);
            return 0;
        }
        if (const flag_option *f = flag_option_named(a); f != nullptr) {
            opt.*(f->field) = true;
            continue;
        }
        const valued_option *v = valued_option_named(a);
        if (v == nullptr && a[0] == '-')
            return usage_error("unknown option " + a);
        if (v == nullptr) // most likely the command, given without the -- before it
            return usage_error(a + " is not an option: put -- before the command");
        // No value starts with "--": that is the next option, or the command's --.
        if (i + 1 >= argc || std::strncmp(argv[i + 1], "--", 2) == 0)
            return usage_error(a + " needs a " + v->value_name);
        ++i;
        if (v->field == nullptr)
            specs.push_back(argv[i]);
        else
            opt.*(v->field) = argv[i];
    }
    if (i >= argc || i + 1 >= argc)
        return usage_error("no command given after --");
    if (opt.expect_image != nullptr && opt.expect_params != nullptr)
        return usage_error("give --expect-image or --expect-params, not both");
    opt.command = argv + i + 1;

    if (specs.empty())
        specs.push_back("");
    for (std::size_t k = 0; k < specs.size(); ++k) {
        virtual_device &dev = state.devices.emplace_back();
        dev.index = k;
        dev.spec = default_spec(k);
        std::string error;
        if (specs[k][0] != '\0' && !parse_device_spec(specs[k], dev.spec, error))
            return usage_error(error);
    }
    return -1;
}

} // namespace vdev
