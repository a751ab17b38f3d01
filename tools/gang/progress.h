// flasher's own lines, read as they come: each moves a board's phase on.
#pragma once

#include "tools/gang/board.h"

#include <string>

// Takes one complete line (without its newline) of flasher's output.
void take_flasher_line(board &b, const std::string &line);

// "page 3 of 12", "erasing" ...: the phase in words. `pages` is the number
// of pages the plan sends.
std::string phase_text(const board &b, unsigned pages);
