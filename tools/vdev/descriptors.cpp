// The descriptors a virtual device presents: the device and configuration
// descriptors of its sysfs node, and its serial as a string descriptor.
#include "tools/vdev/device_spec.h"

namespace vdev
{

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
