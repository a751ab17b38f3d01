// The account as text: the command's status and pauses, then each device
// with what it received (plug-in by plug-in for a device that arrives or
// leaves), then the check.
#include "tools/vdev/report.h"

namespace vdev
{

namespace
{

void print_pauses(const options &opt, std::FILE *out)
{
    std::fprintf(out, "pauses:");
    bool any = false;
    for (const account::event &ev : state.pauses.events) {
        std::fprintf(out, "%s %u s", any ? "," : "", ev.seconds);
        any = true;
    }
    std::fprintf(out, "%s\n", any ? (opt.fast_pauses ? " (returned at once)" : "") : " none");
}

// What one plug-in saw, each line indented by `indent`.
void print_plug_in(const plug_in &p, const run_checks &checks, std::FILE *out,
                   const std::string &indent)
{
    const char *in = indent.c_str();
    std::fprintf(out, "%sopened %u, closed %u, serial read %u, interface 0 %s\n", in, p.opens,
                 p.closes, p.serial_reads, p.claimed ? "claimed" : "not claimed");
    if (!p.device->spec.held.empty())
        std::fprintf(out, "%sinterface 0 held by %s: claims refused %u, bulk URBs refused %u\n", in,
                     p.device->spec.held.c_str(), p.refused_claims, p.refused_submits);
    else if (p.refused_claims > 0 || p.refused_submits > 0)
        std::fprintf(out,
                     "%sinterface 0 claimed through another open file: claims refused %u, bulk "
                     "URBs refused %u\n",
                     in, p.refused_claims, p.refused_submits);
    if (p.bulk_transfers == 0) {
        std::fprintf(out, "%sno transfers\n", in);
    } else {
        std::fprintf(out, "%sbulk OUT:", in);
        for (unsigned ep = 0; ep < 16; ++ep) {
            if (p.endpoint_counts[ep] > 0)
                std::fprintf(out, " endpoint %02X %u", ep, p.endpoint_counts[ep]);
        }
        std::fprintf(out, "\n");
        account::print_account(p.rec, out, in);
    }
    if (auto c = checks.of_plug_in.find(&p); c != checks.of_plug_in.end())
        std::fputs(c->second.text.c_str(), out);
}

// "plug-in 2: arrived at 4 s, left at 6.5 s, address 5"
void print_plug_in_line(const plug_in &p, std::FILE *out)
{
    std::fprintf(out, "  plug-in %u: ", p.number + 1);
    if (!p.arrived) {
        std::fprintf(out, "never arrived (due at %s, after the command ended)\n",
                     seconds_text(p.arrive_ms).c_str());
        return;
    }
    if (p.number == 0 && present_at_start(p.device->spec))
        std::fprintf(out, "there from the start");
    else
        std::fprintf(out, "arrived at %s", seconds_text(p.arrive_ms).c_str());
    if (p.departed)
        std::fprintf(out, ", left at %s", seconds_text(static_cast<unsigned>(p.leave_ms)).c_str());
    else
        std::fprintf(out, ", still plugged in at the end");
    std::fprintf(out, ", address %u\n", p.devnum);
}

} // namespace

void print_text(const options &opt, const run_checks &checks, std::FILE *out, int status)
{
    std::fprintf(out, "flasher-vdev: %s exited with status %d\n", opt.command[0], status);
    print_pauses(opt, out);
    for (const virtual_device &dev : state.devices) {
        std::fprintf(out, "device %zu: %04X:%04X serial \"%s\" usb path %s\n", dev.index + 1,
                     dev.spec.vid, dev.spec.pid, dev.spec.serial.c_str(),
                     usb_path_of(dev.spec).c_str());
        if (!dev.hotplugged()) {
            print_plug_in(dev.plug_ins.front(), checks, out, "  ");
            continue;
        }
        for (const plug_in &p : dev.plug_ins) {
            print_plug_in_line(p, out);
            if (p.arrived)
                print_plug_in(p, checks, out, "    ");
        }
    }
    if (checks.asked)
        std::fputs(checks.run.text.c_str(), out);
}

} // namespace vdev
