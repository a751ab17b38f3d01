// INT, TERM and HUP, caught from the start: each is written to a pipe that
// the supervisor's poll loop reads, so it stops every flasher and still
// writes the summary and the record.
#pragma once

// Installs the handlers (and ignores SIGPIPE: a reader of our output that
// goes away must not end the run with boards half-written). Returns the
// pipe's read end, or -1.
int catch_stop_signals();

// The signal that arrived, or 0; reads the pipe.
int take_stop_signal(int fd);

// True once INT, TERM or HUP has arrived (the pipe not read).
bool stop_requested();
