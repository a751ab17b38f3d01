#include "tools/gang/display.h"

#include "tools/gang/progress.h"
#include "tools/gang/record.h"

#include <algorithm>
#include <unistd.h>

namespace
{

constexpr auto redraw_interval = std::chrono::milliseconds(250);

std::string serial_or_dash(const board &b)
{
    return b.serial.empty() ? "-" : b.serial;
}

void redraw(display &d)
{
    const steady_time now = std::chrono::steady_clock::now();
    if (d.lines_drawn > 0)
        std::fprintf(d.out, "\033[%zuA", d.lines_drawn);
    const std::vector<std::string> lines = d.live_lines(now);
    for (const std::string &line : lines)
        std::fprintf(d.out, "\r\033[2K%s\n", line.c_str());
    // Lines that went away since the last drawing are cleared.
    for (std::size_t i = lines.size(); i < d.lines_drawn; ++i)
        std::fprintf(d.out, "\r\033[2K\n");
    d.lines_drawn = std::max(d.lines_drawn, lines.size());
    d.last_draw = now;
    std::fflush(d.out);
}

bool due(const display &d)
{
    return d.mode == display_mode::live &&
           std::chrono::steady_clock::now() - d.last_draw >= redraw_interval;
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
    if (b.result == board_result::not_flashed || b.result == board_result::skipped) {
        std::fprintf(d.out, "%s %s: %s: %s\n", b.usb_path.c_str(), serial_or_dash(b).c_str(),
                     result_name(b.result), b.reason.c_str());
    } else {
        std::fprintf(d.out, "%s %s: %s after %.1f s: %s\n", b.usb_path.c_str(),
                     serial_or_dash(b).c_str(), result_name(b.result), board_seconds(b, b.end),
                     b.last_line.empty() ? "-" : b.last_line.c_str());
    }
    std::fflush(d.out);
}

} // namespace

std::string live_line(const display &d, const board &b, steady_time now)
{
    std::string phase = phase_text(b, d.plan_pages);
    if (!b.reason.empty())
        phase += ": " + b.reason;
    char line[160];
    if (b.result == board_result::not_flashed || b.result == board_result::skipped)
        std::snprintf(line, sizeof line, "%-12s %-20s %s", b.usb_path.c_str(),
                      serial_or_dash(b).c_str(), phase.c_str());
    else
        std::snprintf(line, sizeof line, "%-12s %-20s %-34s %6.1f s", b.usb_path.c_str(),
                      serial_or_dash(b).c_str(), phase.c_str(), board_seconds(b, now));
    return line;
}

display_mode choose_display(bool json, bool quiet, std::FILE *out)
{
    if (json)
        return display_mode::json;
    if (quiet)
        return display_mode::quiet;
    return isatty(fileno(out)) ? display_mode::live : display_mode::plain;
}

void show_started(display &d, const board &b)
{
    switch (d.mode) {
    case display_mode::live:
        redraw(d);
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

void show_phase(display &d, const board &b)
{
    if (d.mode == display_mode::json)
        emit(d, event_of("progress", b, d));
    else if (due(d))
        redraw(d);
}

void show_ended(display &d, const board &b, const nlohmann::ordered_json &record)
{
    switch (d.mode) {
    case display_mode::live:
        redraw(d);
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

void show_tick(display &d)
{
    if (due(d))
        redraw(d);
}

void show_changed(display &d)
{
    if (d.mode == display_mode::live)
        redraw(d);
}

void show_port(display &d, bool arrived, const std::string &usb_path, unsigned plug_in)
{
    switch (d.mode) {
    case display_mode::live:
        redraw(d);
        return;
    case display_mode::plain:
        std::fprintf(d.out, "%s: %s\n", usb_path.c_str(), arrived ? "plugged in" : "unplugged");
        std::fflush(d.out);
        return;
    case display_mode::json:
        emit(d, {{"event", arrived ? "arrived" : "left"},
                 {"usb_path", usb_path},
                 {"plug_in", plug_in}});
        return;
    case display_mode::quiet:
        return;
    }
}
