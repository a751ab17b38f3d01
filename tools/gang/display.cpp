#include "tools/gang/display.h"

#include "tools/gang/progress.h"
#include "tools/gang/record.h"

#include <unistd.h>

namespace
{

constexpr auto redraw_interval = std::chrono::milliseconds(250);

std::string serial_or_dash(const board &b)
{
    return b.serial.empty() ? "-" : b.serial;
}

// One live line: usb path, serial, phase, seconds.
void print_live_line(const display &d, const board &b, steady_time now)
{
    std::string phase = phase_text(b, d.plan_pages);
    if (b.result == board_result::not_flashed)
        phase += ": " + b.reason;
    std::fprintf(d.out, "\r\033[2K%-12s %-20s %-34s", b.usb_path.c_str(), serial_or_dash(b).c_str(),
                 phase.c_str());
    if (b.result != board_result::not_flashed)
        std::fprintf(d.out, " %6.1f s", board_seconds(b, now));
    std::fputc('\n', d.out);
}

void redraw(display &d, const std::vector<board> &boards)
{
    const steady_time now = std::chrono::steady_clock::now();
    if (d.lines_drawn > 0)
        std::fprintf(d.out, "\033[%zuA", d.lines_drawn);
    for (const board &b : boards)
        print_live_line(d, b, now);
    d.lines_drawn = boards.size();
    d.last_draw = now;
    std::fflush(d.out);
}

void emit(const display &d, const nlohmann::ordered_json &event)
{
    std::fputs(json_line(event).c_str(), d.out);
    std::fflush(d.out);
}

nlohmann::ordered_json event_of(const char *kind, const board &b, const display &d)
{
    return {{"event", kind},
            {"usb_path", b.usb_path},
            {"serial", b.serial},
            {"phase", phase_text(b, d.plan_pages)},
            {"pages_reported", b.pages_reported}};
}

void print_plain_end(const display &d, const board &b)
{
    if (b.result == board_result::not_flashed) {
        std::fprintf(d.out, "%s %s: not flashed: %s\n", b.usb_path.c_str(),
                     serial_or_dash(b).c_str(), b.reason.c_str());
    } else {
        std::fprintf(d.out, "%s %s: %s after %.1f s: %s\n", b.usb_path.c_str(),
                     serial_or_dash(b).c_str(), result_name(b.result), board_seconds(b, b.end),
                     b.last_line.empty() ? "-" : b.last_line.c_str());
    }
    std::fflush(d.out);
}

} // namespace

display_mode choose_display(bool json, bool quiet, std::FILE *out)
{
    if (json)
        return display_mode::json;
    if (quiet)
        return display_mode::quiet;
    return isatty(fileno(out)) ? display_mode::live : display_mode::plain;
}

void show_started(display &d, const std::vector<board> &boards, const board &b)
{
    switch (d.mode) {
    case display_mode::live:
        redraw(d, boards);
        return;
    case display_mode::plain:
        std::fprintf(d.out, "%s %s: started\n", b.usb_path.c_str(), serial_or_dash(b).c_str());
        std::fflush(d.out);
        return;
    case display_mode::json:
        emit(d, event_of("start", b, d));
        return;
    case display_mode::quiet:
        return;
    }
}

void show_phase(display &d, const std::vector<board> &boards, const board &b)
{
    if (d.mode == display_mode::json)
        emit(d, event_of("progress", b, d));
    else if (d.mode == display_mode::live &&
             std::chrono::steady_clock::now() - d.last_draw >= redraw_interval)
        redraw(d, boards);
}

void show_ended(display &d, const std::vector<board> &boards, const board &b,
                const nlohmann::ordered_json &record)
{
    switch (d.mode) {
    case display_mode::live:
        redraw(d, boards);
        return;
    case display_mode::plain:
        print_plain_end(d, b);
        return;
    case display_mode::json:
        emit(d, record);
        return;
    case display_mode::quiet:
        return;
    }
}

void show_tick(display &d, const std::vector<board> &boards)
{
    if (d.mode == display_mode::live &&
        std::chrono::steady_clock::now() - d.last_draw >= redraw_interval)
        redraw(d, boards);
}
