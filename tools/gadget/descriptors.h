// The blobs a FunctionFS function is configured with: the descriptors
// (version 2 layout, full and high speed, Microsoft OS extended compat ID)
// and the strings. Pure byte building, so the layouts can be checked alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Endpoint addresses the function declares, in descriptor order. The
// endpoint files ep1 and ep2 follow this order.
constexpr std::uint8_t gadget_ep_out = 0x01;
constexpr std::uint8_t gadget_ep_in = 0x82;

// Bulk packet sizes, fixed by the USB specification for each speed.
constexpr std::uint16_t full_speed_packet = 64;
constexpr std::uint16_t high_speed_packet = 512;

// Vendor request code the host uses to fetch Microsoft OS descriptors.
constexpr std::uint8_t ms_os_vendor_code = 0xCD;

// Size of the descriptor blob with the Microsoft OS descriptor: header,
// three counts, two speeds of interface + two endpoints, one OS feature.
constexpr std::size_t ffs_descriptors_size = 12 + 3 * 4 + 2 * (9 + 7 + 7) + 11 + 24;

// Writes the descriptor blob into out (at least ffs_descriptors_size bytes)
// and returns the number of bytes written. With_os_desc false leaves the
// Microsoft OS descriptor out (and its flag and count).
std::size_t build_ffs_descriptors(std::span<unsigned char> out, bool with_os_desc);

// Writes the strings blob for the interface name (NUL included) into out and
// returns its length, or 0 when out is too small.
std::size_t build_ffs_strings(std::span<unsigned char> out, const char *interface_name);
