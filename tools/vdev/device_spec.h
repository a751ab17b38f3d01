// How one virtual target device looks and misbehaves, as given on the
// command line of flasher-vdev (--device KEY=VALUE,...).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vdev
{

// What happens to one bulk OUT transfer (counted from 0 per device).
enum class transfer_fault { none, stall, timeout, short_taken, gone };

struct planned_fault {
    unsigned transfer;
    transfer_fault fault;
    unsigned taken;      // bytes accepted, for short_taken
    unsigned plug_in{0}; // the plug-in it strikes (counted from 0)
};

// A plug-in or an unplug of the device, in ms from the start of the command.
struct hotplug_event {
    bool arrive;
    unsigned ms;
};

struct device_spec {
    std::uint16_t vid;
    std::uint16_t pid;
    std::string serial;
    unsigned bus = 1;
    std::vector<unsigned> ports;               // hub ports from the root, may be empty
    std::vector<std::uint8_t> endpoints{0x02}; // interface 0, setting 0, in order
    bool unconfigured = false;                 // the active configuration cannot be read
    bool no_interface = false;                 // the configuration has no interface
    bool no_open = false;                      // the device node cannot be opened at all
    bool no_access = false;                    // the device node has mode 0000
    bool serial_fails = false;                 // reading the serial string stalls
    std::vector<planned_fault> faults;
    unsigned service_us = 0;            // time the device takes for each bulk transfer
    std::vector<hotplug_event> hotplug; // in the order they happen; empty: there all along
    std::string held;                   // the driver that holds interface 0; empty: none
};

// True when the device is plugged in as the command starts: it has no
// arrival, or it first leaves.
bool present_at_start(const device_spec &spec);

// How many times the device is plugged in: once per arrival, plus the time it
// is there from the start.
unsigned plug_in_count(const device_spec &spec);

// The usb path text of a spec: "bus-p1.p2...", or the bus alone.
std::string usb_path_of(const device_spec &spec);

// The same for the first `depth` ports of a path: the hub on the way.
std::string usb_path_of(unsigned bus, const std::vector<unsigned> &ports, std::size_t depth);

// Parses "KEY=VALUE,..." onto spec (which holds the defaults). Returns false
// and fills error on a bad key or value.
bool parse_device_spec(const char *text, device_spec &spec, std::string &error);

// The fault planned for a transfer of a plug-in (transfers count from 0 in
// each plug-in), or none.
planned_fault fault_for(const device_spec &spec, unsigned transfer, unsigned plug_in = 0);

// Device descriptor followed by the configuration descriptor, as the sysfs
// "descriptors" attribute holds them.
std::vector<std::uint8_t> descriptors_of(const device_spec &spec);

// The string descriptor of a serial given as UTF-8: length, type 3, then
// the text in UTF-16LE (a malformed byte becomes U+FFFD), cut to the 126
// code units a descriptor can hold.
std::vector<std::uint8_t> serial_descriptor(const std::string &utf8);

} // namespace vdev
