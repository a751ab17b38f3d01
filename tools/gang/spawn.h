// The start of a child process that inherits exactly the descriptors given
// and nothing else, with every signal at its default and none blocked. On
// Linux it is killed when the gang dies: fork, then PR_SET_PDEATHSIG, then
// exec, with only async-signal-safe calls between fork and exec (libusb's
// threads may hold any lock at the fork). Elsewhere posix_spawn.
#pragma once

#include <sys/types.h>

// How many descriptors a child gets: stdin, stdout, stderr, the events.
constexpr int child_fds = 4;

struct spawn_request {
    const char *path;   // absolute
    char *const *argv;  // null-terminated
    char *const *envp;  // null-terminated
    int fds[child_fds]; // fds[i] becomes descriptor i in the child
};

// The child's pid, or -1 with the reason (an errno value: of fork, or of the
// exec that failed in the child) in `error`; no child is left then.
pid_t spawn_child(const spawn_request &request, int &error);
