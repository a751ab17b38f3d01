// flasher-vdev's command line: the options, the devices and the usage text.
#pragma once

namespace vdev
{

constexpr int exit_usage = 2;
constexpr int exit_differs = 3;
constexpr int exit_cannot_start = 127;

struct options {
    bool fast_pauses = false;
    bool json = false;
    bool check_each = false; // check every device that received anything
    const char *account_file = nullptr;
    const char *expect_image = nullptr;
    const char *expect_params = nullptr;
    char **command = nullptr;
};

// Parses the command line into `opt` and the devices into state.devices.
// Returns -1 when the command is to run, else the exit status (0 after
// --help, exit_usage after a message and the usage text).
int parse_options(int argc, char **argv, options &opt);

} // namespace vdev
