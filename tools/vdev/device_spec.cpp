// Parsing of device specs, and the descriptors a spec presents.
#include "tools/vdev/device_spec.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vdev
{

std::string usb_path_of(unsigned bus, const std::vector<unsigned> &ports, std::size_t depth)
{
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about
    // "-" + std::to_string(...) once inlined.
    std::string path = std::to_string(bus);
    for (std::size_t i = 0; i < depth && i < ports.size(); ++i) {
        path += i == 0 ? '-' : '.';
        path += std::to_string(ports[i]);
    }
    return path;
}

std::string usb_path_of(const device_spec &spec)
{
    return usb_path_of(spec.bus, spec.ports, spec.ports.size());
}

namespace
{

// A whole number in [min, max]; base 0 takes 0x.. as hex.
bool parse_number(const std::string &text, int base, unsigned long min, unsigned long max,
                  unsigned long &value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    errno = 0;
    char *end = nullptr;
    value = std::strtoul(text.c_str(), &end, base);
    return errno == 0 && *end == '\0' && value >= min && value <= max;
}

// "20-1.2" or "3": bus 1..255, then up to 7 hub ports 1..255.
bool parse_path(const std::string &text, device_spec &spec)
{
    std::size_t dash = text.find('-');
    unsigned long bus;
    if (!parse_number(text.substr(0, dash), 10, 1, 255, bus))
        return false;
    std::vector<unsigned> ports;
    if (dash != std::string::npos) {
        std::size_t start = dash + 1;
        for (;;) {
            std::size_t dot = text.find('.', start);
            unsigned long port;
            if (!parse_number(text.substr(start, dot - start), 10, 1, 255, port))
                return false;
            ports.push_back(static_cast<unsigned>(port));
            if (dot == std::string::npos)
                break;
            start = dot + 1;
        }
        if (ports.size() > 7)
            return false;
    }
    spec.bus = static_cast<unsigned>(bus);
    spec.ports = ports;
    return true;
}

// "81:02": endpoint addresses in hex (number 1 to 15, bit 7 for IN), in
// order; empty for none.
bool parse_endpoints(const std::string &text, device_spec &spec)
{
    std::vector<std::uint8_t> eps;
    std::size_t start = 0;
    while (!text.empty()) {
        std::size_t colon = text.find(':', start);
        unsigned long ep;
        if (!parse_number(text.substr(start, colon - start), 16, 1, 0xFF, ep) || (ep & 0x70) != 0 ||
            (ep & 0x0F) == 0)
            return false;
        eps.push_back(static_cast<std::uint8_t>(ep));
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    if (eps.size() > 30)
        return false;
    spec.endpoints = eps;
    return true;
}

// The plug-in that the settings written at this point belong to: the one
// the last arrive= begins, or the first before any.
unsigned plug_in_so_far(const device_spec &spec)
{
    unsigned arrivals = 0;
    for (const hotplug_event &e : spec.hotplug)
        arrivals += e.arrive ? 1 : 0;
    return arrivals > 0 && spec.hotplug.front().arrive ? arrivals - 1 : arrivals;
}

bool parse_fault(transfer_fault fault, const std::string &value, device_spec &spec)
{
    planned_fault f{};
    f.fault = fault;
    unsigned long n;
    std::string number = value;
    if (fault == transfer_fault::short_taken) {
        std::size_t colon = value.find(':');
        unsigned long taken;
        if (colon == std::string::npos ||
            !parse_number(value.substr(colon + 1), 10, 0, 65535, taken))
            return false;
        number = value.substr(0, colon);
        f.taken = static_cast<unsigned>(taken);
    }
    if (!parse_number(number, 10, 0, 1000000, n))
        return false;
    f.transfer = static_cast<unsigned>(n);
    f.plug_in = plug_in_so_far(spec);
    spec.faults.push_back(f);
    return true;
}

// Seconds, whole or with up to three decimals ("0.5", "12", "3.125"), as
// milliseconds; at most 1,000,000 s.
bool parse_seconds(const std::string &text, unsigned &ms)
{
    const std::size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    const std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
    unsigned long s = 0, f = 0;
    if (!parse_number(whole, 10, 0, 1000000, s) || fraction.size() > 3 ||
        (dot != std::string::npos && !parse_number(fraction, 10, 0, 999, f)))
        return false;
    for (std::size_t i = fraction.size(); i < 3; ++i)
        f *= 10;
    ms = static_cast<unsigned>(s * 1000 + f);
    return ms <= 1000000000U;
}

// arrive= and leave= take turns, each later than the one before.
bool parse_hotplug(bool arrive, const std::string &value, device_spec &spec)
{
    hotplug_event e{arrive, 0};
    if (!parse_seconds(value, e.ms))
        return false;
    if (!spec.hotplug.empty() &&
        (spec.hotplug.back().arrive == arrive || spec.hotplug.back().ms >= e.ms))
        return false;
    spec.hotplug.push_back(e);
    return true;
}

// A kernel driver's name, as USBDEVFS_GETDRIVER reports it: 1 to 255 of
// letters, digits, '_', '-' and '.'.
bool parse_driver(const std::string &value, device_spec &spec)
{
    if (value.empty() || value.size() > 255 ||
        value.find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-.") !=
            std::string::npos)
        return false;
    spec.held = value;
    return true;
}

bool parse_id(const std::string &value, std::uint16_t &id)
{
    unsigned long n;
    if (!parse_number(value, 16, 0, 0xFFFF, n))
        return false;
    id = static_cast<std::uint16_t>(n);
    return true;
}

bool parse_serial(const std::string &value, device_spec &spec)
{
    if (value.size() > 126)
        return false;
    spec.serial = value;
    return true;
}

bool parse_service_us(const std::string &value, device_spec &spec)
{
    unsigned long n;
    if (!parse_number(value, 10, 0, 10000000, n))
        return false;
    spec.service_us = static_cast<unsigned>(n);
    return true;
}

// The settings without a value.
struct flag_setting {
    const char *key;
    void (*set)(device_spec &);
};

constexpr flag_setting flag_settings[] = {
    {"unconfigured", [](device_spec &s) { s.unconfigured = true; }},
    {"no-interface", [](device_spec &s) { s.no_interface = true; }},
    {"no-out", [](device_spec &s) { s.endpoints = {0x81}; }},
    {"no-open", [](device_spec &s) { s.no_open = true; }},
    {"no-access", [](device_spec &s) { s.no_access = true; }},
    {"serial-fails", [](device_spec &s) { s.serial_fails = true; }},
};

// The settings with a value; each parser returns false for a bad one.
struct valued_setting {
    const char *key;
    bool (*parse)(const std::string &value, device_spec &);
};

using V = const std::string &;
constexpr valued_setting valued_settings[] = {
    {"vid", [](V v, device_spec &s) { return parse_id(v, s.vid); }},
    {"pid", [](V v, device_spec &s) { return parse_id(v, s.pid); }},
    {"serial", parse_serial},
    {"path", parse_path},
    {"endpoints", parse_endpoints},
    {"service-us", parse_service_us},
    {"stall", [](V v, device_spec &s) { return parse_fault(transfer_fault::stall, v, s); }},
    {"timeout", [](V v, device_spec &s) { return parse_fault(transfer_fault::timeout, v, s); }},
    {"short", [](V v, device_spec &s) { return parse_fault(transfer_fault::short_taken, v, s); }},
    {"gone", [](V v, device_spec &s) { return parse_fault(transfer_fault::gone, v, s); }},
    {"arrive", [](V v, device_spec &s) { return parse_hotplug(true, v, s); }},
    {"leave", [](V v, device_spec &s) { return parse_hotplug(false, v, s); }},
    {"held", parse_driver},
};

bool apply(const std::string &key, const std::string &value, bool has_value, device_spec &spec)
{
    if (!has_value) {
        for (const flag_setting &f : flag_settings) {
            if (key == f.key) {
                f.set(spec);
                return true;
            }
        }
        return false;
    }
    for (const valued_setting &v : valued_settings) {
        if (key == v.key)
            return v.parse(value, spec);
    }
    return false;
}

} // namespace

bool present_at_start(const device_spec &spec)
{
    return spec.hotplug.empty() || !spec.hotplug.front().arrive;
}

unsigned plug_in_count(const device_spec &spec)
{
    unsigned n = present_at_start(spec) ? 1 : 0;
    for (const hotplug_event &e : spec.hotplug)
        n += e.arrive ? 1 : 0;
    return n;
}

bool parse_device_spec(const char *text, device_spec &spec, std::string &error)
{
    std::string all = text;
    std::size_t start = 0;
    while (start <= all.size()) {
        std::size_t comma = all.find(',', start);
        std::string item = all.substr(start, comma - start);
        std::size_t eq = item.find('=');
        std::string key = item.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        if (!apply(key, value, eq != std::string::npos, spec)) {
            error = "bad device setting '" + item + "'";
            return false;
        }
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return true;
}

planned_fault fault_for(const device_spec &spec, unsigned transfer, unsigned plug_in)
{
    for (const planned_fault &f : spec.faults) {
        if (f.transfer == transfer && f.plug_in == plug_in)
            return f;
    }
    return {transfer, transfer_fault::none, 0, plug_in};
}

} // namespace vdev
