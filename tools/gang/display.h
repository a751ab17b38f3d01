// What a person (or a program) sees while the gang runs: on a terminal, one
// line per device updated in place; otherwise a plain line as each device
// starts and ends; with --json, events as JSON Lines; with --quiet, nothing.
// Whatever a device or flasher said (a serial, a last line) is shown escaped.
#pragma once

#include "tools/gang/board.h"
#include "tools/gang/wait_set.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

enum class display_mode { live, plain, quiet, json };

struct display {
    display_mode mode = display_mode::plain;
    std::FILE *out = stdout;
    unsigned plan_pages = 0;
    // Live: the boards to show, one line each, redrawn in place (every board
    // of a run, or each port's current plug-in), and lines after them.
    std::function<std::vector<const board *>()> live_boards;
    std::function<std::vector<std::string>()> live_footer;
    // --watch: true for a board whose port has it no more.
    std::function<bool(const board &)> unplugged;
    std::size_t lines_drawn = 0; // live: the lines to go back over
    steady_time last_draw{};
};

// The widths of the usb path and serial columns for these boards: wide
// enough for each path, and for each serial up to a limit (a longer one is
// cut).
struct board_columns {
    std::size_t path, serial;
};
board_columns columns_for(const std::vector<const board *> &boards);

// A board's serial as a column shows it: escaped, "-" when unknown.
std::string shown_serial(const board &b);

// The live lines of these boards, in columns wide enough for each (a serial
// too long for any column is cut).
std::vector<std::string> live_lines(const display &d, const std::vector<const board *> &boards,
                                    steady_time now);

// The mode for these options and this standard output.
display_mode choose_display(bool json, bool quiet, std::FILE *out);

void show_started(display &d, const board &b);
// A phase moved on. Live: redrawn at most a few times a second.
void show_phase(display &d, const board &b);
void show_ended(display &d, const board &b, const nlohmann::ordered_json &line);
// A board was plugged in or out at a port (--watch): a plain line, a JSON
// event, or (live) a redraw.
void show_port(display &d, bool arrived, const std::string &usb_path, unsigned plug_in);
// Something else changed (a port was re-armed, say): live, redrawn now.
void show_changed(display &d);
// A port's health changed (port_health.h), told in `text`: a plain line, a
// JSON event "port_health", or (live) a redraw, the footer showing it.
void show_port_health(display &d, const std::string &usb_path, unsigned failures_in_a_row,
                      const std::string &text);
// The database went away, refused, or came back (--record-db): a line on
// standard error, a JSON event "database", or (live) a redraw.
void show_database(display &d, const char *state, std::size_t waiting, const std::string &text);

// The live view's tick: while `busy()`, its seconds move on a few times a
// second.
class display_tick : public loop_part
{
  public:
    display_tick(display &d, std::function<bool()> busy) : d_(d), busy_(std::move(busy)) {}
    void add_to(wait_set &set) override;
    void take(const wait_set &set) override;

  private:
    display &d_;
    std::function<bool()> busy_;
};
