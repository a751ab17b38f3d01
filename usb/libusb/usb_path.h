// The usb path text: bus number, "-", then the hub port numbers from the root
// joined by "." ("20-1.2"), or the bus number alone when there are no ports.
#pragma once

#include <cstdint>
#include <span>

// Writes the usb path of a device on `bus` behind `ports` into buffer (size
// bytes, terminator included). False, with the buffer's content undefined,
// when size is less than 1 or the text does not fit.
bool format_usb_path(std::uint8_t bus, std::span<const std::uint8_t> ports, char *buffer, int size);
