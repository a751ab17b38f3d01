#include "tools/gang/signals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

namespace
{

int signal_pipe[2] = {-1, -1};

extern "C" void on_stop_signal(int sig)
{
    const int saved = errno;
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
    action.sa_flags = SA_RESTART;
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
