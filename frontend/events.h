// What each message to the device came to, for a program that supervises
// flasher (flasher-gang): one line per protocol step, written to the
// descriptor FLASHER_EVENTS_FD names. The lines the user reads cannot tell a
// trailer the device did not take from one it did (its result is not judged),
// nor an opened device's serial from text that happens to look like one; these
// lines can. Off unless main turns them on: a dry run never writes any, and
// without the variable flasher's output, wire and status are untouched.
//
// Each line is one write() of at most event_line_size bytes, a kind word and
// key=value tokens, ending in "\n" (the format is in flasher(1)).
#pragma once

constexpr int event_line_size = 256;
constexpr int events_version = 1;

// Turns the lines on when FLASHER_EVENTS_FD holds a plain decimal number
// naming an open descriptor; does nothing otherwise. Writes "start".
void events_start_from_environment();

// Turns the lines on for `fd` (tests); -1 turns them off.
void events_start(int fd);

// A connection attempt (numbered from 1) and whether it opened a device.
void event_attempt(int number, bool opened);

// The device an attempt opened: its usb path (null when it cannot be built)
// and the serial it read (null when the read failed), sent as hex.
void event_opened(const char *usb_path, const char *serial);

// Just before the first message that changes the device is handed over:
// "erase" or "params".
void event_begin(const char *what);

// One message's result: the transport's return value for `asked` bytes.
// kind: "erase", "trailer", "announce" or "params".
void event_message(const char *kind, int asked, int took);

// Zero byte `number` (1 or 2).
void event_zero_byte(int number, int took);

// A page that was started: its header write's result, how many of its
// chunks went whole and, when one did not, that chunk's result.
void event_page(unsigned number, int header_took, int chunks_whole, int failed_chunk_took);

// The exit status, the last line.
void event_end(int status);
