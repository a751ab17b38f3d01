// Back-end logic that needs no device: the device table lookup and the usb
// path text.
#include "usb/libusb/usb_path.h"
#include "usb/transport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{

TEST(DeviceTable, MatchesOnlyTheTableEntry)
{
    const std::uint16_t vid = FLASHER_TABLE_VID;
    struct {
        std::uint16_t vid, pid;
        int expected;
    } cases[] = {
        {vid, TEST_TABLE_PID, 1},
        {vid, TEST_TABLE_PID + 1, 0}, // same vendor, other product
        {vid, 0, 0},                  // the terminator's pid is no entry
        {static_cast<std::uint16_t>(vid + 1), TEST_TABLE_PID, 0},
        {0, TEST_TABLE_PID, 0}, // vid 0 ends the table
        {0, 0, 0},
        {0, 0xFFFF, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(match_usb_ids(c.vid, c.pid), c.expected) << std::hex << c.vid << ":" << c.pid;
}

TEST(DeviceTable, HoldsOneEntryAndTheTerminator)
{
    EXPECT_EQ(usb_ids[0].vid, FLASHER_TABLE_VID);
    EXPECT_EQ(usb_ids[0].pid, TEST_TABLE_PID);
    EXPECT_EQ(usb_ids[1].vid, 0);
}

struct path_case {
    std::uint8_t bus;
    std::vector<std::uint8_t> ports;
    int size;
    bool ok;
    const char *text;
};

TEST(UsbPath, TextAndBufferLimits)
{
    const path_case cases[] = {
        {20, {1, 2}, 128, true, "20-1.2"},
        {3, {}, 128, true, "3"},
        {1, {1}, 128, true, "1-1"},
        {255, {255, 255, 255, 255, 255, 255, 255}, 128, true, "255-255.255.255.255.255.255.255"},
        {0, {0}, 128, true, "0-0"},
        // "20-1.2" needs 7 bytes with its terminator; the last piece is
        // formatted as "2." and needs the room for its dot too.
        {20, {1, 2}, 8, true, "20-1.2"},
        {20, {1, 2}, 7, false, nullptr},
        {20, {1, 2}, 4, false, nullptr},
        {3, {}, 3, true, "3"},
        {3, {}, 2, false, nullptr},
        {3, {}, 1, false, nullptr},
        {3, {}, 0, false, nullptr},
        {3, {}, -5, false, nullptr},
        {123, {}, 4, false, nullptr},
    };
    for (const auto &c : cases) {
        char buffer[256];
        std::memset(buffer, 'X', sizeof buffer);
        const bool ok = format_usb_path(c.bus, c.ports, buffer, c.size);
        EXPECT_EQ(ok, c.ok) << int(c.bus) << " size " << c.size;
        if (c.ok && ok) {
            EXPECT_STREQ(buffer, c.text);
        }
        // Nothing is written past the buffer's size.
        if (c.size >= 0) {
            EXPECT_EQ(buffer[c.size], 'X');
        }
    }
}

} // namespace
