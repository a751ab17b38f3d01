#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

const char usage_text[] =
    "Usage: flasher-gadget [options]\n"
    "Presents the target device on a USB device controller through configfs and\n"
    "FunctionFS, takes every transfer and prints an account of what it received.\n"
    "Stops on SIGINT or SIGTERM (or after --vanish-at). SIGUSR1 unplugs it (unbinds\n"
    "the controller) and SIGUSR2 plugs it in again: each plug-in has an account of\n"
    "its own, and the faults strike in each.\n"
    "  --vid HEX, --pid HEX   USB IDs (default: this build's, %04x:%04x)\n"
    "  --serial TEXT          serial number string (default FLASHER0001)\n"
    "  --name NAME            configfs gadget and FunctionFS instance name (default flasher)\n"
    "  --udc NAME             device controller to bind (default: the first one)\n"
    "  --ffs-dir DIR          where to mount FunctionFS (default /dev/ffs-NAME)\n"
    "  --expect FILE          check what arrived against an image or parameter file\n"
    "  --json                 print the account as JSON\n"
    "  --no-os-desc           leave out the Microsoft OS descriptors\n"
    "  --pause-at N --pause-ms MS  after N transfers, take nothing for MS ms\n"
    "  --stall-at N           after N transfers, halt the OUT endpoint\n"
    "  --vanish-at N          after N transfers, unplug (unbind the controller) and stop\n";

bool parse_number(const char *text, unsigned long long max, int base, unsigned long long &value)
{
    if (!text || !*text || *text == '-' || *text == '+')
        return false;
    char *end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, base);
    return errno == 0 && *end == '\0' && value <= max;
}

int usage_error(const char *what, const char *arg)
{
    std::fprintf(stderr, "flasher-gadget: %s%s%s\n", what, arg ? ": " : "", arg ? arg : "");
    std::fprintf(stderr, "Try 'flasher-gadget --help'.\n");
    return 1;
}

// The name ends up in configfs and mount paths: keep it to a plain word.
bool plain_name(const char *name)
{
    if (!*name || std::strlen(name) > 32)
        return false;
    for (const char *p = name; *p; ++p) {
        const bool ok = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') ||
                        (*p >= '0' && *p <= '9') || *p == '_' || *p == '-';
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

int parse_gadget_options(int argc, char **argv, gadget_options &opts)
{
    bool pause_ms_given = false;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::printf(usage_text, opts.vid, opts.pid);
            return 2;
        }
        if (std::strcmp(arg, "--json") == 0) {
            opts.json = true;
            continue;
        }
        if (std::strcmp(arg, "--no-os-desc") == 0) {
            opts.os_desc = false;
            continue;
        }
        if (i + 1 >= argc)
            return usage_error("missing value or unknown option", arg);
        const char *value = argv[++i];
        unsigned long long n = 0;
        if (std::strcmp(arg, "--vid") == 0 || std::strcmp(arg, "--pid") == 0) {
            if (!parse_number(value, 0xFFFF, 16, n) || n == 0)
                return usage_error("not a USB ID from 0001 to ffff", value);
            (arg[2] == 'v' ? opts.vid : opts.pid) = static_cast<std::uint16_t>(n);
        } else if (std::strcmp(arg, "--serial") == 0) {
            if (std::strlen(value) > 126)
                return usage_error("serial too long", value);
            opts.serial = value;
        } else if (std::strcmp(arg, "--name") == 0) {
            if (!plain_name(value))
                return usage_error("name must be 1 to 32 letters, digits, '-' or '_'", value);
            opts.name = value;
        } else if (std::strcmp(arg, "--udc") == 0) {
            opts.udc = value;
        } else if (std::strcmp(arg, "--ffs-dir") == 0) {
            opts.ffs_dir = value;
        } else if (std::strcmp(arg, "--expect") == 0) {
            opts.expect = value;
        } else if (std::strcmp(arg, "--pause-ms") == 0) {
            if (!parse_number(value, 600000, 10, n))
                return usage_error("not a pause in ms (0 to 600000)", value);
            opts.pause_ms = static_cast<unsigned>(n);
            pause_ms_given = true;
        } else if (std::strcmp(arg, "--pause-at") == 0 || std::strcmp(arg, "--stall-at") == 0 ||
                   std::strcmp(arg, "--vanish-at") == 0) {
            if (!parse_number(value, 1000000, 10, n))
                return usage_error("not a transfer count", value);
            std::size_t &slot = arg[2] == 'p'   ? opts.pause_at
                                : arg[2] == 's' ? opts.stall_at
                                                : opts.vanish_at;
            slot = static_cast<std::size_t>(n);
        } else {
            return usage_error("unknown option", arg);
        }
    }
    if ((opts.pause_at != no_fault) != pause_ms_given)
        return usage_error("--pause-at and --pause-ms go together", nullptr);
    return 0;
}
