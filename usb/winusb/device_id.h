// Device selection by text: the Windows instance ID of a USB device (for
// example USB\VID_1209&PID_000B\SN01) names its vendor and product ID, and
// for most devices its serial number. Nothing here calls Windows.
#pragma once

#include <cstddef>
#include <span>

// The configuration manager's instance ID, terminator included.
constexpr std::size_t device_id_size = 256;
// The path CreateFileA opens, terminator included.
constexpr std::size_t interface_path_size = 256;
// One "VID_%04X" or "PID_%04X" text.
constexpr std::size_t match_text_size = 16;

// 1 when the instance ID contains the "VID_%04X" and "PID_%04X" texts of a
// device table entry and, when a serial is given, the serial as well (all
// case-sensitive substring searches), else 0.
int match_device_id(const char *instance_id, const char *serial);

// Writes the device's interface path, \\.\<instance ID with every '\' turned
// into '#'>#{A5DCBF10-6530-11D2-901F-00C04FB951ED}, into path. When it would
// not fit, path is left empty and the result is false: a cut-off path could
// name another device.
bool build_interface_path(const char *instance_id, std::span<char> path);
