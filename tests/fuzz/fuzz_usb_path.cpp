// Fuzz target: the usb path text of the libusb back-end, with any bus number,
// any chain of ports and any buffer size (negative and tiny ones included).
// The buffer is allocated at exactly the size given, so that ASan catches a
// write past it. The oracle builds the text from its definition: the bus,
// "-", the ports each followed by "."; it fits when that whole text is
// shorter than the buffer, and the last character is then cut off.
//
// Input: byte 0 the buffer size (-8 to 247), byte 1 the bus, then the ports.
#include "usb/libusb/usb_path.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const int buffer_size = static_cast<int>(data[0]) - 8;
    const std::uint8_t bus = data[1];
    const std::span<const std::uint8_t> ports(data + 2, size - 2);

    std::string text = std::to_string(bus) + "-";
    for (const std::uint8_t port : ports)
        text += std::to_string(port) + ".";
    const bool fits = buffer_size >= 1 && text.size() < static_cast<std::size_t>(buffer_size);
    text.pop_back();

    const std::size_t allocated = buffer_size > 0 ? static_cast<std::size_t>(buffer_size) : 1;
    const std::unique_ptr<char[]> buffer(new char[allocated]);
    const bool got = format_usb_path(bus, ports, buffer.get(), buffer_size);
    if (got != fits || (fits && std::strcmp(buffer.get(), text.c_str()) != 0)) {
        std::fprintf(stderr, "usb path of bus %u with %zu ports in %d bytes: expected %s \"%s\"\n",
                     bus, ports.size(), buffer_size, fits ? "true" : "false", text.c_str());
        std::abort();
    }
    return 0;
}
