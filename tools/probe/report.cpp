// The lines of the report every build prints alike. Every fact in them comes
// from the dry run: the front end's own reading of the command line and the
// input, the messages it sent, and the back-end's own search of the devices.
#include "tools/probe/report.h"

#include "tools/probe/input_report.h"
#include "tools/probe/run_verdict.h"
#include "tools/probe/words.h"
#include "usb/transport.h"

#include <algorithm>

namespace
{

std::string looked_for()
{
    return ids_text(usb_ids[0].vid, usb_ids[0].pid);
}

// The outcome column of a device line. Without a search no device is
// chosen and no attempt fails: what the program would make of each is only
// said of it.
std::string outcome_column(const device_outcome &o, bool searched, const std::string &program)
{
    switch (o.kind) {
    case outcome_kind::chosen:
        return searched ? "chosen: " + program + " uses this device"
                        : "passes: " + program + " would use it, had it got this far";
    case outcome_kind::write_fails:
        return o.reason;
    case outcome_kind::passed_over:
        return "passed over: " + o.reason;
    case outcome_kind::fails_attempt:
        return searched ? "fails the attempt: " + o.reason
                        : "would fail the attempt, had " + program + " got this far: " + o.reason;
    }
    return o.reason;
}

void print_header(std::FILE *out, const probe_build &build, const probe_findings &f)
{
    if (f.run == nullptr)
        std::fprintf(out,
                     "flasher-probe: the devices %s would find; nothing is written to any "
                     "device\n",
                     build.program);
    else
        std::fprintf(out, "flasher-probe: a dry run of \"%s\"; nothing is written to any device\n",
                     build.command(build.program, f.subject.args).c_str());
}

void print_lines(std::FILE *out, const std::vector<std::string> &lines)
{
    for (const std::string &line : lines)
        std::fprintf(out, "    %s\n", line.c_str());
}

// One line per device, each followed by the lines about it.
void print_device_lines(std::FILE *out, const probe_build &build, const probe_findings &f)
{
    const std::vector<listed_target> &devices = f.search.devices;
    std::size_t name_width = 0, detail_width = 0;
    for (const listed_target &d : devices) {
        name_width = std::max(name_width, d.name.size());
        detail_width = std::max(detail_width, d.detail.size());
    }
    const bool searched = searches(f);
    const listed_target *stop = searched ? stop_device(f.search) : nullptr;
    for (const listed_target &d : devices) {
        const bool past_stop = stop != nullptr && &d > stop;
        const std::string column = past_stop ? std::string("not examined: ") + build.program +
                                                   " stops at " + stop->name + " before it"
                                             : outcome_column(d.outcome, searched, build.program);
        std::fprintf(out, "  %-*s  %-*s  %s\n", static_cast<int>(name_width), d.name.c_str(),
                     static_cast<int>(detail_width), d.detail.c_str(), column.c_str());
        if (!past_stop)
            print_lines(out, d.advice);
        print_lines(out, d.notes);
    }
}

void print_devices(std::FILE *out, const probe_build &build, const probe_findings &f)
{
    std::fprintf(out, "build: this %s looks for %s\n", build.program, looked_for().c_str());
    const std::vector<std::string> &selectors = f.search.selectors;
    std::fprintf(out, "selectors: %s\n", selectors.empty() ? "none" : selectors[0].c_str());
    for (std::size_t i = 1; i < selectors.size(); ++i)
        std::fprintf(out, "  %s\n", selectors[i].c_str());
    if (!f.search.listed) {
        std::fprintf(out, "devices: the USB devices cannot be listed\n");
        return;
    }
    std::fprintf(out, "devices with %s, in the order %s examines them:%s\n", looked_for().c_str(),
                 build.program, f.search.devices.empty() ? " none attached" : "");
    print_device_lines(out, build, f);
    // A board that presents another product ID of the vendor is a common
    // mix-up.
    for (const std::string &other : f.search.other_products)
        std::fprintf(out, "  %s\n", other.c_str());
}

} // namespace

bool searches(const probe_findings &f)
{
    return f.run == nullptr || f.run->prepared;
}

const listed_target *stop_device(const listed_search &search)
{
    return search.stop < 0 ? nullptr : &search.devices[static_cast<std::size_t>(search.stop)];
}

std::vector<std::string> usable_pins(const listed_search &search)
{
    std::vector<std::string> pins;
    for (const listed_target &d : search.devices) {
        if (d.usable && !d.pin.empty())
            pins.push_back(d.pin);
    }
    return pins;
}

verdict judge(const probe_build &build, const probe_findings &f)
{
    search_end end;
    end.listed = f.search.listed;
    end.any = !f.search.devices.empty();
    end.ids = looked_for();
    end.others = f.search.others;
    if (const listed_target *stop = stop_device(f.search); stop != nullptr) {
        end.stopped = true;
        end.where = stop->name;
        end.gives_up = stop->outcome.kind == outcome_kind::fails_attempt;
        end.fails_why = stop->fails_why;
    }
    return judge_run(f.run, f.plan, build.program, end);
}

void print_report(std::FILE *out, const probe_build &build, const probe_findings &f,
                  const verdict &v)
{
    print_header(out, build, f);
    if (f.run != nullptr)
        print_input(out, build.program, f.subject.args.empty() ? std::string() : f.subject.args[0],
                    *f.run, *f.plan);
    print_devices(out, build, f);
    build.print_pins(out, build, f);
    std::fprintf(out, "verdict: %s\n", v.text.c_str());
}
