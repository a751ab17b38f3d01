// flasher-probe's exit statuses and the one-line verdict that goes with
// each. Shared by every build of the probe.
#pragma once

#include <string>

// Exit statuses of flasher-probe.
constexpr int probe_would_succeed = 0; // flasher would send the whole input
constexpr int probe_would_fail = 1;    // flasher would fail (no input, no device)
constexpr int probe_bad_options = 2;
constexpr int probe_would_leave = 3; // flasher would run but leave bytes unsent, or only erase

struct verdict {
    int status = probe_would_succeed;
    std::string text;
};
