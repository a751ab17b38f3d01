// One flasher started for one device: pinned to it by FLASHER_USBPATH, its
// stdin from /dev/null, its stdout and stderr into pipes this process reads.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct started_flasher {
    pid_t pid = -1;
    int out_fd = -1; // read ends, non-blocking
    int err_fd = -1;
};

// Starts `argv` (argv[0] the flasher's absolute path) with FLASHER_USBPATH
// set to `usb_path` in an otherwise unchanged environment. False with a
// message in `error` when it cannot be started.
bool start_flasher(const std::vector<std::string> &argv, const std::string &usb_path,
                   started_flasher &started, std::string &error);

// The absolute path of the flasher installed (or built) beside this program,
// or empty when there is none: the gang runs no other build than its own.
std::string flasher_beside_this_program();
