// Port health: a port whose last plug-ins of this session all failed is
// flagged, in the live view and as an event, so that a worn cable or a bad
// pogo pin is noticed by the tool and not only by people. A failure adds to
// the port's count, an ok clears it; a board skipped, not flashed or
// interrupted says nothing of the port and leaves the count as it is.
#pragma once

#include "tools/gang/board.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

// From this many failures in a row a port is flagged.
constexpr unsigned failures_flagged = 3;

// A port's flag was raised, grew, or was cleared by an ok.
struct port_news {
    std::string usb_path;
    unsigned failures_in_a_row = 0; // 0: cleared
    unsigned before = 0;            // the count the ok cleared
};

class port_health
{
  public:
    // A board at `usb_path` ended with `result`. Returns what there is to
    // tell: the flag raised or grown, or cleared; nullopt otherwise.
    std::optional<port_news> note(const std::string &usb_path, board_result result);

    // "port 1-3: 3 failures in a row: check the cable or fixture", for each
    // flagged port.
    std::vector<std::string> flagged() const;

  private:
    std::map<std::string, unsigned> in_a_row_;
};

// The words for a port's news: "port 1-3: 3 failures in a row: check the
// cable or fixture", or "port 1-3: ok again after 3 failures in a row".
std::string port_news_text(const port_news &news);
