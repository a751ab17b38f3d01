#include "tools/gang/signals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <sys/time.h>
#include <unistd.h>

namespace
{

int signal_pipe[2] = {-1, -1};
volatile std::sig_atomic_t stop_asked = 0;

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};
// Every signal whose disposition the gang depends on.
constexpr int relied_on[] = {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGPIPE, SIGALRM};

// A byte in the pipe per signal: the signal's number.
extern "C" void on_signal(int sig)
{
    const int saved = errno;
    if (sig != SIGCHLD)
        stop_asked = 1;
    const unsigned char byte = static_cast<unsigned char>(sig);
    // A full pipe already holds enough to wake the loop.
    [[maybe_unused]] const ssize_t n = write(signal_pipe[1], &byte, 1);
    errno = saved;
}

extern "C" void on_alarm(int) {}

void set_action(int sig, void (*handler)(int), int flags)
{
    struct sigaction action {
    };
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(sig, &action, nullptr);
}

void set_timer(long microseconds)
{
    itimerval every{};
    every.it_interval.tv_usec = microseconds;
    every.it_value.tv_usec = microseconds;
    setitimer(ITIMER_REAL, &every, nullptr);
}

} // namespace

int catch_signals()
{
    for (const int sig : relied_on)
        set_action(sig, SIG_DFL, 0);
    if (pipe(signal_pipe) != 0)
        return -1;
    for (const int fd : signal_pipe) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    // Not restarted: a read that waits for the input returns, and the stop
    // is seen at once.
    for (const int sig : stop_signals)
        set_action(sig, on_signal, 0);
    // Restarted: a flasher's end interrupts nothing the gang does.
    set_action(SIGCHLD, on_signal, SA_RESTART | SA_NOCLDSTOP);
    set_action(SIGPIPE, SIG_IGN, 0);
    // Unblocked last: a stop the parent left pending is caught, not fatal.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    return signal_pipe[0];
}

signal_news take_signals(int fd)
{
    signal_news news;
    unsigned char byte = 0;
    while (read(fd, &byte, 1) == 1) {
        if (byte == SIGCHLD)
            news.child = true;
        else
            ++news.stops;
    }
    return news;
}

bool stop_requested()
{
    return stop_asked != 0;
}

stop_watch_during_wait::stop_watch_during_wait()
{
    set_action(SIGALRM, on_alarm, 0);
    set_timer(100000);
}

stop_watch_during_wait::~stop_watch_during_wait()
{
    set_timer(0);
    set_action(SIGALRM, SIG_DFL, 0);
}
