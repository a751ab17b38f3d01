// The account as one JSON object. Its keys keep their order, and it is one
// line: readers may search it as text.
#include "tools/account/account_json.h"
#include "tools/vdev/report.h"

#include <cmath>

namespace vdev
{

namespace
{

using json = nlohmann::ordered_json;

json check_json(const check_outcome &c)
{
    return {{"result", c.result == account::check_result::intact ? "intact" : "differs"},
            {"text", c.text}};
}

// What one plug-in saw, added to `j`.
void add_plug_in(json &j, const plug_in &p, const run_checks &checks)
{
    j["opened"] = p.opens;
    j["closed"] = p.closes;
    j["serial_reads"] = p.serial_reads;
    j["claimed"] = p.claimed;
    if (!p.device->spec.held.empty())
        j["held"] = p.device->spec.held;
    if (!p.device->spec.held.empty() || p.refused_claims > 0 || p.refused_submits > 0) {
        j["refused_claims"] = p.refused_claims;
        j["refused_submits"] = p.refused_submits;
    }
    j["endpoints"] = json::object();
    for (unsigned ep = 0; ep < 16; ++ep) {
        if (p.endpoint_counts[ep] == 0)
            continue;
        char name[3];
        std::snprintf(name, sizeof name, "%02X", ep);
        j["endpoints"][name] = p.endpoint_counts[ep];
    }
    j["account"] = account::account_json(p.rec);
    if (auto c = checks.of_plug_in.find(&p); c != checks.of_plug_in.end())
        j["check"] = check_json(c->second);
}

json plug_in_json(const plug_in &p, const run_checks &checks)
{
    json j;
    j["plug_in"] = p.number + 1;
    j["arrive_ms"] = p.arrive_ms;
    j["arrived"] = p.arrived;
    j["leave_ms"] = p.leave_ms >= 0 ? json(p.leave_ms) : json(nullptr);
    j["left"] = p.departed;
    if (!p.arrived)
        return j;
    j["address"] = p.devnum;
    // From its arrival to the first transfer the command sent it (the erase
    // message, for flasher): how quickly a watcher takes a board on.
    if (p.arrived_us >= 0 && p.first_bulk_us >= 0)
        j["first_transfer_after_ms"] =
            std::round(static_cast<double>(p.first_bulk_us - p.arrived_us) / 100.0) / 10.0;
    add_plug_in(j, p, checks);
    return j;
}

json device_json(const virtual_device &dev, const run_checks &checks)
{
    char id[5];
    json j;
    j["device"] = dev.index + 1;
    std::snprintf(id, sizeof id, "%04X", dev.spec.vid);
    j["vid"] = id;
    std::snprintf(id, sizeof id, "%04X", dev.spec.pid);
    j["pid"] = id;
    j["usb_path"] = usb_path_of(dev.spec);
    if (!dev.hotplugged()) {
        add_plug_in(j, dev.plug_ins.front(), checks);
        return j;
    }
    j["plug_ins"] = json::array();
    for (const plug_in &p : dev.plug_ins)
        j["plug_ins"].push_back(plug_in_json(p, checks));
    return j;
}

} // namespace

void print_json(const options &opt, const run_checks &checks, std::FILE *out, int status)
{
    json doc;
    doc["command_status"] = status;
    doc["fast_pauses"] = opt.fast_pauses;
    doc["pauses"] = json::array();
    for (const account::event &ev : state.pauses.events)
        doc["pauses"].push_back(ev.seconds);
    doc["devices"] = json::array();
    for (const virtual_device &dev : state.devices)
        doc["devices"].push_back(device_json(dev, checks));
    if (checks.asked)
        doc["check"] = check_json(checks.run);
    std::fprintf(out, "%s\n", account::dump_json(doc).c_str());
}

} // namespace vdev
