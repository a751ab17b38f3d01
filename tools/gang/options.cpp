#include "tools/gang/options.h"

#include "tools/gang/record_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

namespace
{

// Whether the build had libpq, which --record-db needs.
#ifdef FLASHER_GANG_RECORD_DB
constexpr bool record_db_built = true;
#else
constexpr bool record_db_built = false;
#endif

const char usage_text[] =
    "Usage: flasher-gang [options] signed_firmware.bin | params | - | erase [all]\n"
    "Flashes every attached target device at once: one flasher per device, pinned\n"
    "to it by FLASHER_USBPATH. The input (\"-\": standard input) is read once, before\n"
    "any device is touched, and every device gets the same bytes.\n"
    "With --watch it runs until stopped and flashes each board as it is plugged in,\n"
    "once per plug-in.\n"
    "Options:\n"
    "  --logs DIR       each run works in a new directory under DIR (default\n"
    "                   flasher-gang-logs): the input's snapshot, a log per device,\n"
    "                   the run's own record\n"
    "  --record FILE    also append one JSON line per device to FILE, a regular file\n"
    "  --record-db CONNINFO\n"
    "                   also keep the --record file's lines in PostgreSQL (a libpq\n"
    "                   connection string, a URI or service=NAME; no password in\n"
    "                   it): FILE is the outbox, and --skip-done asks the database\n"
    "  --station NAME   the station named in every record line (default: the host\n"
    "                   name)\n"
    "  --sha256 HEX     refuse, before any device is touched, an input whose SHA-256\n"
    "                   is not HEX\n"
    "  --json           JSON Lines on stdout (the records and progress events)\n"
    "                   instead of the progress and the table\n"
    "  --quiet          no progress, only the summary\n"
    "  --skip-unusable  devices flasher cannot use are listed but do not fail the run\n"
    "                   (not with --watch)\n"
    "  --watch          wait for boards and flash each as it arrives, until INT,\n"
    "                   TERM or HUP\n"
    "  --skip-done      do not flash a board whose latest line in the --record file\n"
    "                   (with --record-db: at any station) is ok for this image\n"
    "  --help           print this text\n"
    "Exit status: 0 every device was flashed successfully (or skipped as done); 1 a\n"
    "device failed or was not flashed, no device is attached, the input cannot be\n"
    "read or is refused, the record cannot be written, or the database refused\n"
    "flasher-gang at the start; 2 bad usage; 130 interrupted (INT, TERM or HUP).\n"
    "With --watch, INT, TERM and HUP end the session: 0 when every board of it\n"
    "succeeded or was skipped.\n";

parsed_command usage_error(const std::string &why)
{
    return {gang_usage, "flasher-gang: " + why + "\n" + usage_text};
}

// The options that take a value, and what the value is.
struct valued_option {
    const char *name;
    const char *value;
    std::string gang_options::*field;
};
constexpr valued_option valued_options[] = {
    {"--logs", "DIR", &gang_options::logs},
    {"--record", "FILE", &gang_options::record},
    {"--record-db", "CONNINFO", &gang_options::record_db},
    {"--station", "NAME", &gang_options::station},
    {"--sha256", "HEX", &gang_options::sha256},
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

bool looks_like_option(const std::string &arg)
{
    return arg.size() > 1 && arg[0] == '-';
}

// Why a value cannot be taken, or empty.
std::string value_refusal(const valued_option &v, const std::string *value)
{
    std::string needs = std::string(v.name) + " needs a value, " + v.value;
    if (value == nullptr || value->empty())
        return needs;
    if (value->rfind("--", 0) == 0)
        return needs + " (" + *value + " is an option)";
    if ((*value)[0] == '-')
        return std::string(v.name) + " " + *value + ": a value may not start with \"-\"" +
               (v.field == &gang_options::logs || v.field == &gang_options::record
                    ? " (for a name that does, write ./" + *value + ")"
                    : "");
    return "";
}

bool is_hex(const std::string &text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

bool has_control(const std::string &text)
{
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return std::iscntrl(static_cast<unsigned char>(c)) != 0; });
}

// Takes the option at args[i]. Returns how many arguments it used, 0 when
// it is none of ours, -1 with `why` when its value is refused.
int take_option(const std::vector<std::string> &args, std::size_t i, gang_options &opt,
                std::set<std::string> &given, std::string &why)
{
    for (const flag_option &f : flag_options) {
        if (args[i] == f.name) {
            opt.*(f.field) = true;
            return 1;
        }
    }
    for (const valued_option &v : valued_options) {
        if (args[i] != v.name)
            continue;
        const std::string *value = i + 1 < args.size() ? &args[i + 1] : nullptr;
        why = value_refusal(v, value);
        if (why.empty() && !given.insert(v.name).second)
            why = std::string(v.name) + " is given twice";
        if (!why.empty())
            return -1;
        opt.*(v.field) = *value;
        return 2;
    }
    return 0;
}

// What the values and their combination must be, in order: the first
// rule broken is the one said.
struct combination_rule {
    bool (*broken)(const gang_options &);
    const char *why;
};
const combination_rule combination_rules[] = {
    {[](const gang_options &o) {
         return !o.sha256.empty() && (o.sha256.size() != 64 || !is_hex(o.sha256));
     },
     "--sha256 needs the 64 hexadecimal digits of a SHA-256"},
    {[](const gang_options &o) { return has_control(o.station); },
     "--station NAME may not hold control characters"},
    {[](const gang_options &o) { return !o.sha256.empty() && o.input == "erase"; },
     "--sha256 checks an input file; erase has none"},
    {[](const gang_options &o) { return o.skip_done && (o.record.empty() || o.input == "erase"); },
     "--skip-done needs --record FILE and an image or parameter file"},
    {[](const gang_options &o) { return !o.record_db.empty() && !record_db_built; },
     "--record-db: this flasher-gang was built without PostgreSQL's client library (libpq), so "
     "it cannot keep the record in a database"},
    {[](const gang_options &o) { return !o.record_db.empty() && o.record.empty(); },
     "--record-db needs --record FILE: its lines wait there, and its cursor beside it, while "
     "the database is away"},
    {[](const gang_options &o) { return o.skip_unusable && o.watch; },
     "--skip-unusable does not go with --watch: a station records each unusable board as not "
     "flashed and tries it again on its next plug-in"},
};

std::string lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

parsed_command parse_gang_command(const std::vector<std::string> &args, gang_options &opt)
{
    std::set<std::string> given;
    std::size_t i = 1;
    while (i < args.size() && looks_like_option(args[i])) {
        if (args[i] == "--") {
            ++i;
            break;
        }
        if (args[i] == "--help")
            return {gang_all_ok, usage_text};
        std::string why;
        const int used = take_option(args, i, opt, given, why);
        if (used < 0)
            return usage_error(why);
        if (used == 0)
            return usage_error("unknown option " + args[i]);
        i += static_cast<std::size_t>(used);
    }
    if (i >= args.size())
        return usage_error("no input given");
    opt.input = args[i++];
    if (i < args.size() && args[i] == "all") {
        opt.erase_all = true;
        ++i;
    }
    if (i < args.size())
        return usage_error("only \"all\" may follow the input: every device is flashed, so no "
                           "serial; got " +
                           args[i]);
    for (const combination_rule &rule : combination_rules) {
        if (rule.broken(opt))
            return usage_error(rule.why);
    }
    opt.sha256 = lower(opt.sha256);
    if (const std::string why = record_path_refusal(opt.record);
        !opt.record.empty() && !why.empty())
        return usage_error("--record " + opt.record + ": " + why +
                           "; the record must be a regular file");
    return {};
}

int parse_gang_options(int argc, char **argv, gang_options &opt)
{
    const parsed_command parsed = parse_gang_command({argv, argv + argc}, opt);
    if (!parsed.text.empty())
        std::fputs(parsed.text.c_str(), parsed.status == gang_all_ok ? stdout : stderr);
    return parsed.status;
}
