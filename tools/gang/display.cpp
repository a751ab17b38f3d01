#include "tools/gang/display.h"

#include "tools/gang/record.h"
#include "tools/gang/text.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace
{

constexpr auto redraw_interval = std::chrono::milliseconds(250);

// Column widths: the usb path's and the serial's grow with the longest,
// the serial's up to a limit (longer ones are cut); the phase's is fixed.
constexpr std::size_t path_width = 12, serial_width = 20, serial_width_most = 40;
constexpr std::size_t phase_width = 34;

void redraw(display &d)
{
    if (!d.live_boards)
        return; // nothing to show yet
    const steady_time now = std::chrono::steady_clock::now();
    if (d.lines_drawn > 0)
        std::fprintf(d.out, "\033[%zuA", d.lines_drawn);
    std::vector<std::string> lines = live_lines(d, d.live_boards(), now);
    if (d.live_footer)
        for (const std::string &line : d.live_footer())
            lines.push_back(line);
    for (const std::string &line : lines)
        std::fprintf(d.out, "\r\033[2K%s\n", line.c_str());
    // Lines that went away since the last drawing are cleared.
    for (std::size_t i = lines.size(); i < d.lines_drawn; ++i)
        std::fprintf(d.out, "\r\033[2K\n");
    d.lines_drawn = std::max(d.lines_drawn, lines.size());
    d.last_draw = now;
    std::fflush(d.out);
}

bool due(const display &d, steady_time now)
{
    return d.mode == display_mode::live && now - d.last_draw >= redraw_interval;
}

void emit(const display &d, const nlohmann::ordered_json &event)
{
    std::fputs(json_line(event).c_str(), d.out);
    std::fflush(d.out);
}

nlohmann::ordered_json event_of(const char *kind, const board &b, const display &d)
{
    return {{"event", kind},
            {"usb_path", b.found.usb_path},
            {"plug_in", b.found.plug_in > 0 ? nlohmann::ordered_json(b.found.plug_in) : nullptr},
            {"serial", board_serial(b)},
            {"phase", phase_text(b, d.plan_pages)},
            {"pages", b.events.tally.pages}};
}

void print_plain_end(const display &d, const board &b)
{
    const std::string head = printable_line(b.found.usb_path) + " " + shown_serial(b) + ": " +
                             result_name(b.outcome.result);
    const std::optional<double> seconds = board_seconds(b, b.end);
    const std::string why = printable_line(b.outcome.reason);
    if (!seconds) {
        std::fprintf(d.out, "%s: %s\n", head.c_str(), why.c_str());
    } else {
        const std::string last = printable_line(b.last_line);
        const std::string said = why.empty()    ? last
                                 : last.empty() ? why
                                                : why + "; last line: " + last;
        std::fprintf(d.out, "%s after %.1f s: %s\n", head.c_str(), *seconds,
                     said.empty() ? "-" : said.c_str());
    }
    std::fflush(d.out);
}

} // namespace

std::string shown_serial(const board &b)
{
    const std::string serial = board_serial(b);
    return serial.empty() ? "-" : printable_line(serial);
}

board_columns columns_for(const std::vector<const board *> &boards)
{
    std::size_t longest_path = 0, longest_serial = 0;
    for (const board *b : boards) {
        longest_path = std::max(longest_path, printable_line(b->found.usb_path).size());
        longest_serial = std::max(longest_serial, shown_serial(*b).size());
    }
    return {column_width(longest_path, path_width, longest_path),
            column_width(longest_serial, serial_width, serial_width_most)};
}

std::vector<std::string> live_lines(const display &d, const std::vector<const board *> &boards,
                                    steady_time now)
{
    const board_columns columns = columns_for(boards);
    std::vector<std::string> lines;
    for (const board *b : boards) {
        std::string phase = phase_text(*b, d.plan_pages);
        if (!b->outcome.reason.empty() || (!b->started && !b->found.reason.empty()))
            phase += ": " + printable_line(b->outcome.reason.empty() ? b->found.reason
                                                                     : b->outcome.reason);
        std::string line = cell(printable_line(b->found.usb_path), columns.path) + " " +
                           cell(shown_serial(*b), columns.serial) + " ";
        const std::optional<double> seconds = board_seconds(*b, now);
        if (seconds) {
            char time[16];
            std::snprintf(time, sizeof time, " %6.1f s", *seconds);
            line += cell(phase, phase_width) + time;
        } else {
            line += phase;
        }
        if (d.unplugged && d.unplugged(*b))
            line += "  (unplugged)";
        lines.push_back(line);
    }
    return lines;
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
        std::fprintf(d.out, "%s %s: started\n", printable_line(b.found.usb_path).c_str(),
                     shown_serial(b).c_str());
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
    else if (due(d, std::chrono::steady_clock::now()))
        redraw(d);
}

void show_ended(display &d, const board &b, const nlohmann::ordered_json &line)
{
    switch (d.mode) {
    case display_mode::live:
        redraw(d);
        return;
    case display_mode::plain:
        print_plain_end(d, b);
        return;
    case display_mode::json:
        emit(d, line);
        return;
    case display_mode::quiet:
        return;
    }
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
        std::fprintf(d.out, "%s: %s\n", printable_line(usb_path).c_str(),
                     arrived ? "plugged in" : "unplugged");
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

void display_tick::add_to(wait_set &set)
{
    if (d_.mode == display_mode::live && busy_())
        set.wake_by(d_.last_draw + redraw_interval);
}

void display_tick::take(const wait_set &)
{
    if (busy_() && due(d_, std::chrono::steady_clock::now()))
        redraw(d_);
}

void show_port_health(display &d, const std::string &usb_path, unsigned failures_in_a_row,
                      const std::string &text)
{
    switch (d.mode) {
    case display_mode::live:
        redraw(d);
        return;
    case display_mode::plain:
        std::fprintf(d.out, "%s\n", text.c_str());
        std::fflush(d.out);
        return;
    case display_mode::json:
        emit(d, {{"event", "port_health"},
                 {"usb_path", usb_path},
                 {"failures_in_a_row", failures_in_a_row},
                 {"text", text}});
        return;
    case display_mode::quiet:
        return;
    }
}

void show_database(display &d, const char *state, std::size_t waiting, const std::string &text)
{
    switch (d.mode) {
    case display_mode::live:
        if (d.live_boards) {
            redraw(d); // the footer says it
            return;
        }
        break; // before the view begins: said as a line
    case display_mode::json:
        emit(d, {{"event", "database"}, {"state", state}, {"waiting", waiting}, {"text", text}});
        return;
    case display_mode::plain:
    case display_mode::quiet:
        break;
    }
    std::fprintf(stderr, "flasher-gang: %s\n", text.c_str());
}
