// flasher's own account of each protocol step, read from the descriptor the
// gang hands it as FLASHER_EVENTS_FD: one line per step ("erase asked=12
// took=12", "page n=1 header=3 chunks=5 took=10", "end status=0"). What each
// message came to, the board's progress and whether it may be half-written
// come from these lines, never from flasher's words for people.
#pragma once

#include "tools/gang/record.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One line: its kind word and its key=value tokens, in order.
struct event_line {
    std::string kind;
    std::vector<std::pair<std::string, std::string>> values;
};

// Splits a line (without its newline). False when it is not a kind word
// followed by key=value tokens, each separated by one space.
bool parse_event_line(std::string_view line, event_line &out);

// The value of `key` as a whole number; nullopt when absent or not one.
std::optional<long> number_of(const event_line &line, std::string_view key);

// How far flasher has got, for the view.
enum class flasher_step {
    starting,   // started; no connection attempt has ended yet
    retrying,   // an attempt found no device; flasher tries again
    connected,  // it opened the device
    erasing,    // the erase was handed over
    settling,   // the erase was taken; the pause and the zero bytes
    paging,     // pages going out
    trailer,    // the trailer went out
    parameters, // the parameter upload was handed over
};

struct event_state {
    std::string partial;  // a line not yet ended
    bool started = false; // the "start" line came: flasher gives its account
    message_tally tally;  // what each message came to
    flasher_step step = flasher_step::starting;
    // An erase or a parameter upload was handed to the transport: from
    // here on the board may be changed, even if flasher dies mid-transfer.
    bool board_changed = false;
    bool opened = false;               // an "opened" line came
    std::optional<std::string> serial; // the opened device's serial, raw; nullopt: unknown
    bool announce_whole = false;       // the parameter announcement was taken whole
    std::optional<int> end_status;     // "end status=N"
    unsigned malformed = 0;            // lines that did not parse, passed over
};

// Takes one line (without its newline). Lines of an unknown kind are passed
// over: a later flasher may say more.
void take_event(event_state &state, std::string_view line);

// Takes bytes as read from the descriptor: every complete line is taken,
// the rest is kept for the next read. True when the step changed.
bool take_event_bytes(event_state &state, std::string_view bytes);
