#include "usb/libusb/usb_path.h"

#include <cstdio>

bool format_usb_path(std::uint8_t bus, std::span<const std::uint8_t> ports, char *buffer, int size)
{
    if (size < 1)
        return false;
    int used = std::snprintf(buffer, static_cast<std::size_t>(size), "%d-", bus);
    if (used < 0 || used >= size)
        return false;
    for (const std::uint8_t port : ports) {
        const int space = size - used;
        const int piece =
            std::snprintf(buffer + used, static_cast<std::size_t>(space), "%d.", port);
        if (piece < 0 || piece >= space)
            return false;
        used += piece;
    }
    // Drop the final "." or, with no ports, the "-".
    buffer[used - 1] = '\0';
    return true;
}
