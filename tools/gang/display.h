// What a person (or a program) sees while the gang runs: on a terminal, one
// line per device updated in place; otherwise a plain line as each device
// starts and ends; with --json, events as JSON Lines; with --quiet, nothing.
#pragma once

#include "tools/gang/board.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

enum class display_mode { live, plain, quiet, json };

struct display {
    display_mode mode = display_mode::plain;
    std::FILE *out = stdout;
    unsigned plan_pages = 0;
    // Live: the lines to show, redrawn in place (one per board, or per port).
    std::function<std::vector<std::string>(steady_time now)> live_lines;
    std::size_t lines_drawn = 0; // live: the lines to go back over
    steady_time last_draw{};
};

// One live line: usb path, serial, phase, seconds.
std::string live_line(const display &d, const board &b, steady_time now);

// The mode for these options and this standard output.
display_mode choose_display(bool json, bool quiet, std::FILE *out);

void show_started(display &d, const board &b);
// A phase moved on. Live: redrawn at most a few times a second.
void show_phase(display &d, const board &b);
void show_ended(display &d, const board &b, const nlohmann::ordered_json &record);
// Called now and then while boards run: live, the seconds move on.
void show_tick(display &d);
// A board was plugged in or out at a port (--watch): a plain line, a JSON
// event, or (live) a redraw.
void show_port(display &d, bool arrived, const std::string &usb_path, unsigned plug_in);

// Something else changed (a port was re-armed, say): live, redrawn now.
void show_changed(display &d);
