// The lines of the report. Every fact in them comes from the dry run: the
// front end's own reading of the command line and the input, the messages
// it sent, and the libusb back-end's own search of the devices.
#include "tools/probe/report.h"

#include "tools/probe/device_report.h"
#include "tools/probe/input_report.h"
#include "tools/probe/run_verdict.h"
#include "tools/probe/words.h"
#include "usb/transport.h"

#include <algorithm>

namespace
{

std::string flasher_command(const probe_subject &subject)
{
    if (subject.args.empty())
        return "flasher ...";
    return shell_command("flasher", subject.args);
}

// True when flasher would search the devices at all: it does not stop at
// the command line or the input first.
bool searches(const probe_findings &f)
{
    return f.run == nullptr || f.run->prepared;
}

// The outcome column of a device line. Without a search no device is
// chosen: one that passes is only said to pass.
std::string outcome_line(const device_outcome &o, bool searched)
{
    switch (o.kind) {
    case outcome_kind::chosen:
        return searched ? "chosen: flasher uses this device"
                        : "passes: flasher would use it, had it got this far";
    case outcome_kind::held:
        return o.reason + "; flasher would take it, and its erase would fail";
    case outcome_kind::passed_over:
        return "passed over: " + o.reason;
    case outcome_kind::fails_attempt:
        return "fails the attempt: " + o.reason;
    }
    return o.reason;
}

void print_header(std::FILE *out, const probe_findings &f)
{
    if (f.run == nullptr)
        std::fprintf(out, "flasher-probe: the devices flasher would find; nothing is written to "
                          "any device\n");
    else
        std::fprintf(out, "flasher-probe: a dry run of \"%s\"; nothing is written to any device\n",
                     flasher_command(f.subject).c_str());
}

void print_selectors(std::FILE *out, const probe_findings &f)
{
    std::string text;
    if (f.subject.serial != nullptr)
        text = std::string("serial \"") + f.subject.serial + "\" (equal to the device's serial)";
    if (f.subject.usb_path != nullptr)
        text += std::string(text.empty() ? "" : ", ") + "FLASHER_USBPATH \"" + f.subject.usb_path +
                "\"";
    std::fprintf(out, "selectors: %s\n", text.empty() ? "none" : text.c_str());
}

// One line per device, each followed by the advice for what its line shows.
void print_device_lines(std::FILE *out, const probe_findings &f)
{
    const dryrun::walk_result &walk = f.walk;
    std::size_t path_width = 0, serial_width = 0;
    for (const dryrun::examined_device &d : walk.devices) {
        path_width = std::max(path_width, device_name(d.ex).size());
        serial_width = std::max(serial_width, serial_text(d.ex).size());
    }
    const bool searched = searches(f);
    for (std::size_t i = 0; i < walk.devices.size(); ++i) {
        const dryrun::examined_device &d = walk.devices[i];
        const device_outcome o = describe_outcome(d, {f.subject.serial, f.subject.usb_path});
        const bool past_stop =
            searched && walk.stop >= 0 && i > static_cast<std::size_t>(walk.stop);
        const std::string line =
            past_stop ? "not examined: flasher stops at " +
                            device_name(walk.devices[static_cast<std::size_t>(walk.stop)].ex) +
                            " before it"
                      : outcome_line(o, searched);
        std::fprintf(out, "  %-*s  %-*s  %s\n", static_cast<int>(path_width),
                     device_name(d.ex).c_str(), static_cast<int>(serial_width),
                     serial_text(d.ex).c_str(), line.c_str());
        if (!past_stop && !o.advice.empty())
            std::fprintf(out, "    %s\n", o.advice.c_str());
    }
}

void print_devices(std::FILE *out, const probe_findings &f)
{
    const dryrun::walk_result &walk = f.walk;
    const std::string ids = ids_text(usb_ids[0].vid, usb_ids[0].pid);
    std::fprintf(out, "build: this flasher looks for %s\n", ids.c_str());
    print_selectors(out, f);
    if (!walk.listed) {
        std::fprintf(out, "devices: the USB devices cannot be listed\n");
        return;
    }
    std::fprintf(out, "devices with %s, in the order flasher examines them:%s\n", ids.c_str(),
                 walk.devices.empty() ? " none attached" : "");
    print_device_lines(out, f);
    for (const device_examination &other : walk.other_products)
        std::fprintf(out, "  %s\n", other_product_text(other).c_str());
}

const dryrun::examined_device *stop_device(const dryrun::walk_result &walk)
{
    return walk.stop < 0 ? nullptr : &walk.devices[static_cast<std::size_t>(walk.stop)];
}

// The FLASHER_USBPATH lines that pin each usable device, when flasher on its
// own would not make the choice plainly: several usable, or it fails first.
void print_pins(std::FILE *out, const probe_findings &f)
{
    const std::vector<std::string> paths = usable_paths(f.walk);
    const dryrun::examined_device *stop = stop_device(f.walk);
    if (paths.empty() || !searches(f))
        return;
    const bool fails_first = stop != nullptr && !dryrun::usable(*stop);
    if (paths.size() < 2 && !fails_first)
        return;
    if (fails_first)
        std::fprintf(out, "flasher %s %s; pinned, it passes over it:\n",
                     ends_attempt(stop->ex.verdict) ? "gives up at" : "fails on",
                     device_name(stop->ex).c_str());
    else if (f.subject.serial != nullptr)
        std::fprintf(out,
                     "several devices have the serial \"%s\": flasher takes the first it "
                     "examines, %s; to pin one:\n",
                     f.subject.serial, paths[0].c_str());
    else
        std::fprintf(out,
                     "several devices pass: flasher takes the first it examines, %s; to pin one:\n",
                     paths[0].c_str());
    const std::string command = flasher_command(f.subject);
    for (const std::string &path : paths)
        std::fprintf(out, "  FLASHER_USBPATH=%s %s\n", shell_word(path).c_str(), command.c_str());
}

} // namespace

std::vector<std::string> usable_paths(const dryrun::walk_result &walk)
{
    std::vector<std::string> paths;
    for (const dryrun::examined_device &d : walk.devices) {
        if (dryrun::usable(d) && d.ex.path_known)
            paths.emplace_back(d.ex.path);
    }
    return paths;
}

verdict judge(const probe_findings &f)
{
    search_end end;
    end.listed = f.walk.listed;
    end.any = !f.walk.devices.empty();
    end.ids = ids_text(usb_ids[0].vid, usb_ids[0].pid);
    for (const device_examination &other : f.walk.other_products)
        end.others += "; " + device_name(other) + " has " + ids_text(other.vid, other.pid);
    if (const dryrun::examined_device *stop = stop_device(f.walk); stop != nullptr) {
        end.stopped = true;
        end.where = device_name(stop->ex);
        end.gives_up = ends_attempt(stop->ex.verdict);
        if (is_held(stop->holder))
            end.fails_why = "interface 0 is held, so its erase would fail";
    }
    return judge_run(f.run, f.plan, "flasher", end);
}

void print_report(std::FILE *out, const probe_findings &f, const verdict &v)
{
    print_header(out, f);
    if (f.run != nullptr)
        print_input(out, f.subject.args.empty() ? std::string() : f.subject.args[0], *f.run,
                    *f.plan);
    print_devices(out, f);
    print_pins(out, f);
    std::fprintf(out, "verdict: %s\n", v.text.c_str());
}
