// The verdict on a board whose flasher ran: ok exactly when flasher exited
// 0 (as a waitpid of this run told it) and its events show every message
// that counts taken whole: the erase, every planned page and, when the plan
// has one, the trailer (a parameter upload: the announcement and the block;
// an erase: the erase). flasher itself does not judge the trailer or the
// zero bytes; the gang judges the trailer, because a board without it is not
// what the image makes. The zero bytes are recorded and never decide: the
// device may still be busy with its erase.
#pragma once

#include "frontend/run_request.h"
#include "tools/gang/board.h"
#include "tools/gang/process.h"
#include "tools/gang/record.h"

#include <string>

// What flasher is to send, from the input survey.
struct flash_plan {
    run_mode mode = run_mode::firmware;
    unsigned pages = 0;
    bool trailer = false;
};

struct board_verdict {
    board_result result = board_result::none;
    std::string reason; // empty for ok
};

// True when the events show every message that counts taken whole: the
// flasher has nothing left to send that matters, only to exit.
bool all_taken(const flash_plan &plan, const message_tally &taken);

board_verdict judge_flasher(const flash_plan &plan, const message_tally &taken, bool gave_account,
                            const flasher_exit &exit, stop_cause stopped);
