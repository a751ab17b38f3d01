// The gadget's command line.
#pragma once

#include <cstddef>
#include <cstdint>

// Sentinel for "no such fault".
constexpr std::size_t no_fault = static_cast<std::size_t>(-1);

struct gadget_options {
    const char *name = "flasher";
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    const char *serial = "FLASHER0001";
    const char *udc = nullptr;     // null: the first controller in /sys/class/udc
    const char *ffs_dir = nullptr; // null: /dev/ffs-<name>
    const char *expect = nullptr;  // image or parameter file to check against
    bool json = false;
    bool os_desc = true;
    // Faults, each counted in transfers taken before it strikes.
    std::size_t pause_at = no_fault;
    unsigned pause_ms = 0;
    std::size_t stall_at = no_fault;
    std::size_t vanish_at = no_fault;
};

// Parses argv into opts (whose vid and pid hold the defaults). Returns 0 to
// run, 1 after printing a usage error, 2 after printing the help text.
int parse_gadget_options(int argc, char **argv, gadget_options &opts);
