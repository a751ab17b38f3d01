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

bool parse_fault(const std::string &key, const std::string &value, device_spec &spec)
{
    planned_fault f{};
    unsigned long n;
    std::string number = value;
    if (key == "short") {
        std::size_t colon = value.find(':');
        unsigned long taken;
        if (colon == std::string::npos ||
            !parse_number(value.substr(colon + 1), 10, 0, 65535, taken))
            return false;
        number = value.substr(0, colon);
        f.fault = transfer_fault::short_taken;
        f.taken = static_cast<unsigned>(taken);
    } else if (key == "stall") {
        f.fault = transfer_fault::stall;
    } else if (key == "timeout") {
        f.fault = transfer_fault::timeout;
    } else {
        f.fault = transfer_fault::gone;
    }
    if (!parse_number(number, 10, 0, 1000000, n))
        return false;
    f.transfer = static_cast<unsigned>(n);
    spec.faults.push_back(f);
    return true;
}

bool apply(const std::string &key, const std::string &value, bool has_value, device_spec &spec)
{
    unsigned long n;
    if (!has_value) {
        if (key == "unconfigured")
            spec.unconfigured = true;
        else if (key == "no-interface")
            spec.no_interface = true;
        else if (key == "no-out")
            spec.endpoints = {0x81};
        else if (key == "no-open")
            spec.no_open = true;
        else if (key == "no-access")
            spec.no_access = true;
        else if (key == "serial-fails")
            spec.serial_fails = true;
        else
            return false;
        return true;
    }
    if (key == "vid" || key == "pid") {
        if (!parse_number(value, 16, 0, 0xFFFF, n))
            return false;
        (key == "vid" ? spec.vid : spec.pid) = static_cast<std::uint16_t>(n);
        return true;
    }
    if (key == "serial") {
        if (value.size() > 126)
            return false;
        spec.serial = value;
        return true;
    }
    if (key == "path")
        return parse_path(value, spec);
    if (key == "endpoints")
        return parse_endpoints(value, spec);
    if (key == "service-us") {
        if (!parse_number(value, 10, 0, 10000000, n))
            return false;
        spec.service_us = static_cast<unsigned>(n);
        return true;
    }
    if (key == "stall" || key == "timeout" || key == "short" || key == "gone")
        return parse_fault(key, value, spec);
    return false;
}

} // namespace

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

planned_fault fault_for(const device_spec &spec, unsigned transfer)
{
    for (const planned_fault &f : spec.faults) {
        if (f.transfer == transfer)
            return f;
    }
    return {transfer, transfer_fault::none, 0};
}

std::vector<std::uint8_t> descriptors_of(const device_spec &spec)
{
    const std::uint8_t serial_index = 3;
    std::vector<std::uint8_t> d = {
        18,
        0x01,
        0x00,
        0x02, // length, DEVICE, bcdUSB 2.00
        0xFF,
        0x00,
        0x00,
        64, // vendor class, max packet 64
        static_cast<std::uint8_t>(spec.vid & 0xFF),
        static_cast<std::uint8_t>(spec.vid >> 8),
        static_cast<std::uint8_t>(spec.pid & 0xFF),
        static_cast<std::uint8_t>(spec.pid >> 8),
        0x00,
        0x01, // bcdDevice 1.00
        0,
        0,
        serial_index, // no manufacturer or product string
        1,            // one configuration
    };
    std::uint8_t interfaces = spec.no_interface ? 0 : 1;
    std::size_t total = 9 + (interfaces ? 9 + 7 * spec.endpoints.size() : 0);
    std::vector<std::uint8_t> c = {
        9,
        0x02,
        static_cast<std::uint8_t>(total & 0xFF),
        static_cast<std::uint8_t>(total >> 8),
        interfaces,
        1, // bConfigurationValue 1
        0,
        0x80,
        50, // bus powered, 100 mA
    };
    if (interfaces) {
        std::vector<std::uint8_t> i = {
            9, 0x04, 0, 0, static_cast<std::uint8_t>(spec.endpoints.size()), 0xFF, 0, 0, 0,
        };
        c.insert(c.end(), i.begin(), i.end());
        for (std::uint8_t ep : spec.endpoints) {
            std::vector<std::uint8_t> e = {7, 0x05, ep, 0x02, 64, 0, 0}; // bulk, 64 bytes
            c.insert(c.end(), e.begin(), e.end());
        }
    }
    d.insert(d.end(), c.begin(), c.end());
    return d;
}

namespace
{

// The code point starting at text[at]; `at` moves past it. A byte that does
// not start a well-formed sequence is U+FFFD on its own.
std::uint32_t next_code_point(const std::string &text, std::size_t &at)
{
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(at);
    std::size_t extra = 0;
    std::uint32_t cp = lead;
    std::uint32_t least = 0;
    if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3;
        cp = lead & 0x07U;
        least = 0x10000;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        cp = lead & 0x0FU;
        least = 0x800;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1;
        cp = lead & 0x1FU;
        least = 0x80;
    } else if (lead >= 0x80) {
        ++at;
        return 0xFFFD;
    }
    if (extra > 0 && at + extra >= text.size()) { // cut short by the end
        ++at;
        return 0xFFFD;
    }
    for (std::size_t i = 1; i <= extra; ++i) {
        if ((byte(at + i) & 0xC0U) != 0x80) {
            ++at;
            return 0xFFFD;
        }
        cp = (cp << 6) | (byte(at + i) & 0x3FU);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++at;
        return 0xFFFD;
    }
    at += extra + 1;
    return cp;
}

} // namespace

std::vector<std::uint8_t> serial_descriptor(const std::string &utf8)
{
    std::vector<std::uint16_t> units;
    for (std::size_t at = 0; at < utf8.size();) {
        const std::uint32_t cp = next_code_point(utf8, at);
        if (cp >= 0x10000) {
            units.push_back(static_cast<std::uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            units.push_back(static_cast<std::uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FFU)));
        } else {
            units.push_back(static_cast<std::uint16_t>(cp));
        }
    }
    if (units.size() > 126)
        units.resize(126);
    std::vector<std::uint8_t> desc{static_cast<std::uint8_t>(2 + 2 * units.size()), 3};
    for (std::uint16_t u : units) {
        desc.push_back(static_cast<std::uint8_t>(u & 0xFFU));
        desc.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    return desc;
}

} // namespace vdev
