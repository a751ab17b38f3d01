// The check of what the devices received, and where the account goes.
#include "tools/vdev/report.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vdev
{

namespace
{

constexpr std::size_t params_size = 256;

check_outcome check(const expectation &expected, const account::recording &rec, const char *indent)
{
    char *text = nullptr;
    std::size_t size = 0;
    std::FILE *mem = open_memstream(&text, &size);
    check_outcome c;
    c.result = expected.image
                   ? account::check_image_bytes(rec, expected.bytes, expected.path, mem, indent)
                   : account::check_params_bytes(rec, expected.bytes, expected.path, mem, indent);
    std::fclose(mem);
    c.text = text;
    std::free(text);
    return c;
}

// Without arrivals and departures: the first device that received anything,
// else the first.
const plug_in &checked_device()
{
    for (const virtual_device &dev : state.devices) {
        if (dev.plug_ins.front().bulk_transfers > 0)
            return dev.plug_ins.front();
    }
    return state.devices.front().plug_ins.front();
}

std::string name_of(const plug_in &p)
{
    std::string name = "device " + std::to_string(p.device->index + 1);
    if (p.device->hotplugged())
        name += " plug-in " + std::to_string(p.number + 1);
    return name;
}

// Each plug-in that received anything, with a summary for the run; when
// none did, the run's check is of nothing received.
void check_each_plug_in(const expectation &expected, run_checks &checks)
{
    std::vector<std::string> differing;
    for (const virtual_device &dev : state.devices) {
        const char *indent = dev.hotplugged() ? "    " : "  ";
        for (const plug_in &p : dev.plug_ins) {
            if (p.bulk_transfers == 0)
                continue;
            check_outcome c = check(expected, p.rec, indent);
            if (c.result != account::check_result::intact)
                differing.push_back(name_of(p));
            checks.of_plug_in.emplace(&p, std::move(c));
        }
    }
    if (checks.of_plug_in.empty()) {
        checks.run = check(expected, account::recording{}, "");
        return;
    }
    std::string &text = checks.run.text;
    const std::size_t n = checks.of_plug_in.size();
    text = "checked against " + std::string(expected.path) + ": " + std::to_string(n) +
           (n == 1 ? " plug-in" : " plug-ins") + " that received anything, ";
    if (differing.empty()) {
        text += "all intact\n";
        return;
    }
    checks.run.result = account::check_result::differs;
    text += std::to_string(differing.size()) + (differing.size() == 1 ? " differs:" : " differ:");
    for (const std::string &name : differing)
        text += (&name == &differing.front() ? " " : ", ") + name;
    text += "\n";
}

run_checks make_checks(const expectation &expected, bool check_each)
{
    run_checks checks;
    checks.asked = expected.path != nullptr;
    checks.per_plug_in =
        check_each || std::any_of(state.devices.begin(), state.devices.end(),
                                  [](const virtual_device &d) { return d.hotplugged(); });
    if (!checks.asked)
        return checks;
    if (checks.per_plug_in)
        check_each_plug_in(expected, checks);
    else
        checks.run = check(expected, checked_device().rec, "");
    return checks;
}

} // namespace

std::string seconds_text(unsigned ms)
{
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        char fraction[8];
        std::snprintf(fraction, sizeof fraction, ".%03u", ms % 1000);
        text += fraction;
        while (text.back() == '0')
            text.pop_back();
    }
    return text + " s";
}

int report(const options &opt, const expectation &expected, std::FILE *out, int status)
{
    std::lock_guard<std::mutex> hold(state.lock);
    const run_checks checks = make_checks(expected, opt.check_each);
    if (opt.json)
        print_json(opt, checks, out, status);
    else
        print_text(opt, checks, out, status);
    const bool intact = !checks.asked || checks.run.result == account::check_result::intact;
    return intact ? status : exit_differs;
}

int read_expectation(const options &opt, expectation &expected)
{
    expected.image = opt.expect_image != nullptr;
    expected.path = expected.image ? opt.expect_image : opt.expect_params;
    if (expected.path == nullptr)
        return -1;
    std::FILE *f = std::fopen(expected.path, "rb");
    unsigned char buf[65536];
    std::size_t n = 0;
    while (f != nullptr && (n = std::fread(buf, 1, sizeof buf, f)) > 0)
        expected.bytes.insert(expected.bytes.end(), buf, buf + n);
    const int error = f == nullptr ? errno : std::ferror(f) != 0 ? errno : 0;
    if (f != nullptr)
        std::fclose(f);
    if (error != 0) {
        std::fprintf(stderr, "flasher-vdev: cannot read %s: %s\n", expected.path,
                     std::strerror(error));
        return exit_usage;
    }
    if (!expected.image && expected.bytes.size() != params_size) {
        std::fprintf(stderr, "flasher-vdev: %s is %zu bytes, not a %zu-byte parameter file\n",
                     expected.path, expected.bytes.size(), params_size);
        return exit_usage;
    }
    return -1;
}

std::FILE *open_account(const options &opt)
{
    if (opt.account_file == nullptr)
        return stderr;
    std::FILE *out = std::fopen(opt.account_file, "we");
    if (out == nullptr)
        std::fprintf(stderr, "flasher-vdev: cannot write %s: %s\n", opt.account_file,
                     std::strerror(errno));
    return out;
}

} // namespace vdev
