// The live view's lines: times only for boards whose flasher started (never
// the steady clock's own count since boot), columns wide enough for every
// path and cut for a serial too long, every byte a device sent escaped.
#include "tools/gang/display.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace
{

using namespace std::chrono_literals;

board with(const std::string &path, const std::string &serial)
{
    board b;
    b.found.usb_path = path;
    b.found.serial = serial;
    b.found.usable = true;
    return b;
}

TEST(LiveView, TimesColumnsAndEscapes)
{
    const steady_time now = std::chrono::steady_clock::now();
    board paging = with("1-1", "SN01");
    paging.started = true;
    paging.start = now - 2s;
    paging.events.step = flasher_step::paging;
    paging.events.tally.pages = 1;
    board waiting = with("1-2", "SN02");
    board long_serial = with("1-3", std::string(60, 'L'));
    long_serial.started = true;
    long_serial.start = now - 1s;
    board forged = with("1-4", "A\033[2J\nB");
    forged.outcome.result = board_result::not_flashed;
    forged.outcome.reason = "busy";
    display d;
    d.plan_pages = 3;
    const std::vector<std::string> lines =
        live_lines(d, {&paging, &waiting, &long_serial, &forged}, now);
    ASSERT_EQ(lines.size(), 4u);
    // usb path 12 wide; serials as wide as the longest, at most 40.
    const std::string serial_column = std::string(37, 'L') + "...";
    EXPECT_EQ(lines[0], "1-1          SN01" + std::string(36, ' ') + " page 1 of 3" +
                            std::string(23, ' ') + "    2.0 s");
    EXPECT_EQ(lines[1], "1-2          SN02" + std::string(36, ' ') + " waiting");
    EXPECT_EQ(lines[2],
              "1-3          " + serial_column + " starting" + std::string(26, ' ') + "    1.0 s");
    EXPECT_EQ(lines[3],
              "1-4          A\\x1B[2J\\x0AB" + std::string(27, ' ') + " not flashed: busy");
}

} // namespace
