#include "tools/gang/progress.h"

#include "frontend/messages.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace
{

// A message of flasher's catalogue as a line reads without its newline.
std::string_view line_of(std::string_view message)
{
    return message.substr(0, message.find('\n'));
}

// The lines that move the phase on, taken from flasher's own catalogue.
struct phase_line {
    std::string_view text;
    board_phase phase;
};
// Not constexpr: the sanitizers' pointer checks make the search in a
// message no constant expression.
const phase_line phase_lines[] = {
    {line_of(msg::usb_trying_again), board_phase::retrying},
    {line_of(msg::continuing), board_phase::erasing},
    {line_of(msg::erased), board_phase::erased},
};

// "page: %-3d": the text before the number.
const std::string_view page_prefix =
    std::string_view(msg::page_done).substr(0, std::string_view(msg::page_done).find('%'));
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
        b.pages_reported =
            static_cast<unsigned>(std::strtoul(line.c_str() + page_prefix.size(), nullptr, 10)) + 1;
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
