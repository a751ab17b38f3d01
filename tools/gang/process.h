// One flasher started for one board: pinned to it by FLASHER_USBPATH, its
// stdin from /dev/null, its stdout and stderr into pipes this process reads,
// its events into a pipe of its own (FLASHER_EVENTS_FD), and nothing else of
// the gang's: every other descriptor is closed in it, every signal is at its
// default, and on Linux it is killed when the gang dies (PR_SET_PDEATHSIG).
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// The descriptor a flasher writes its events to.
constexpr int flasher_events_fd = 3;

// How a flasher ended, as a waitpid of this run told it.
struct flasher_exit {
    bool waited = false;  // a waitpid of this run returned its status
    int wait_error = 0;   // the errno of a waitpid that failed instead
    int exit_status = -1; // when it exited
    int signal = 0;       // when a signal ended it
};

// A started flasher: its process and the descriptors read here.
struct flasher_process {
    pid_t pid = -1;
    int out_fd = -1, err_fd = -1, events_fd = -1; // read ends, non-blocking; -1 once closed
    int log_fd = -1;                              // its stdout and stderr go here too
    bool reaped = false;                          // exit holds how it ended
    flasher_exit exit;
};

struct launch_request {
    std::vector<std::string> argv; // argv[0]: the flasher's absolute path
    std::string usb_path;          // FLASHER_USBPATH
    std::string log_path;          // created; must not exist
};

// Starts the flasher. False with the reason in `error` when it cannot be
// started; nothing of it is left open then.
bool launch_flasher(const launch_request &request, flasher_process &process, std::string &error);

// Asks, without waiting, whether the flasher has ended. True when it has
// (process.exit says how), and also when waitpid failed: exit.wait_error
// says why, and such an end is never taken for success.
bool reap_if_ended(flasher_process &process);

// Sends `sig` to a flasher not yet reaped.
void signal_flasher(const flasher_process &process, int sig);

// Closes its pipes and its log.
void close_descriptors(flasher_process &process);

// The absolute path of the flasher installed (or built) beside this program,
// or empty when there is none: the gang runs no other build than its own.
std::string flasher_beside_this_program();
