#include "tools/gang/signals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

namespace
{

int signal_pipe[2] = {-1, -1};
volatile std::sig_atomic_t stop_asked = 0;

extern "C" void on_stop_signal(int sig)
{
    const int saved = errno;
    stop_asked = 1;
    const unsigned char byte = static_cast<unsigned char>(sig);
    // A full pipe already holds a signal: nothing is lost.
    [[maybe_unused]] const ssize_t n = write(signal_pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

int catch_stop_signals()
{
    if (pipe(signal_pipe) != 0)
        return -1;
    for (const int fd : signal_pipe) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    struct sigaction action {
    };
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    // Not restarted: a read that waits for the input (a FIFO no one writes
    // to yet, a slow pipe) returns, and the stop is seen at once.
    action.sa_flags = 0;
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return signal_pipe[0];
}

int take_stop_signal(int fd)
{
    unsigned char byte = 0;
    int got = 0;
    while (read(fd, &byte, 1) == 1)
        got = byte;
    return got;
}

bool stop_requested()
{
    return stop_asked != 0;
}
