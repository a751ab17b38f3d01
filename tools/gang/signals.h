// The signals the gang relies on, set from the start. Each is first put
// back to its default and unblocked, whatever the parent left: a parent
// that ignores SIGCHLD would have the kernel reap the flashers, and their
// exit statuses would be lost. Then INT, TERM and HUP are caught and
// written to a pipe that the poll loop reads, so the gang stops its
// flashers and still writes the summary and the record; SIGCHLD is caught
// to wake the loop when a flasher ends; SIGPIPE is ignored (a reader of
// our output that goes away must not end the run with boards half-written).
#pragma once

// Installs the handlers. Returns the pipe's read end, or -1.
int catch_signals();

// What the pipe held since the last look.
struct signal_news {
    int stops = 0;      // INT, TERM or HUP, each time it came
    bool child = false; // a child ended (or stopped)
};
signal_news take_signals(int fd);

// True once INT, TERM or HUP has arrived (whether or not the pipe was read).
bool stop_requested();

// While it lives, a blocking call (the open or read of a FIFO no one writes
// to yet) is interrupted every tenth of a second, so a stop that lands just
// before the call starts is still seen within moments: the caller checks
// stop_requested() at each EINTR.
class stop_watch_during_wait
{
  public:
    stop_watch_during_wait();
    ~stop_watch_during_wait();
    stop_watch_during_wait(const stop_watch_during_wait &) = delete;
    stop_watch_during_wait &operator=(const stop_watch_during_wait &) = delete;
};
