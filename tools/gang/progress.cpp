#include "tools/gang/progress.h"

#include <cstdlib>
#include <cstring>

namespace
{

// The lines that move the phase on, exactly as flasher prints them.
struct phase_line {
    const char *text;
    board_phase phase;
};
constexpr phase_line phase_lines[] = {
    {"cannot open usb connection, trying again", board_phase::retrying},
    {"continuing with flashing", board_phase::erasing},
    {"erased", board_phase::erased},
};

constexpr char page_prefix[] = "page: ";
constexpr char serial_prefix[] = "string desc ";

// "string desc N SERIAL": flasher opened a device and read its serial.
void take_serial(board &b, const std::string &line)
{
    const std::size_t space = line.find(' ', sizeof serial_prefix - 1);
    b.serial = space == std::string::npos ? std::string() : line.substr(space + 1);
    b.connected = true;
    if (b.phase == board_phase::starting || b.phase == board_phase::retrying)
        b.phase = board_phase::connected;
}

} // namespace

void take_flasher_line(board &b, const std::string &line)
{
    b.last_line = line;
    if (line.rfind(serial_prefix, 0) == 0) {
        take_serial(b, line);
        return;
    }
    if (line.rfind(page_prefix, 0) == 0) {
        b.pages_reported = static_cast<unsigned>(std::strtoul(line.c_str() + 6, nullptr, 10)) + 1;
        b.phase = board_phase::paging;
        return;
    }
    for (const phase_line &p : phase_lines) {
        if (line == p.text) {
            b.phase = p.phase;
            b.erase_seen = b.erase_seen || p.phase == board_phase::erased;
            return;
        }
    }
}

std::string phase_text(const board &b, unsigned pages)
{
    switch (b.phase) {
    case board_phase::not_flashed:
        return "not flashed";
    case board_phase::starting:
        return "starting";
    case board_phase::retrying:
        return "cannot connect, trying again";
    case board_phase::connected:
        return "connected";
    case board_phase::erasing:
        return "erasing";
    case board_phase::erased:
        return "erased";
    case board_phase::paging:
        return "page " + std::to_string(b.pages_reported) + " of " + std::to_string(pages);
    case board_phase::ended:
        break;
    }
    switch (b.result) {
    case board_result::ok:
        return "done";
    case board_result::skipped:
        return "already done";
    case board_result::interrupted:
        return "interrupted";
    case board_result::not_flashed:
        return "not flashed";
    case board_result::failed:
    case board_result::none:
        break;
    }
    return "failed";
}
