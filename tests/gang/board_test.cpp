// What the gang decides about a board from the run's other boards.
#include "tools/gang/board.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace
{

struct other {
    std::string usb_path;
    std::string survey_serial;
    std::optional<std::string> opened_serial; // as its flasher read it
};

struct shared_case {
    const char *what;
    std::string serial;
    std::vector<other> others;
    bool shared;
};

// A serial that another board of the run at another usb path has (attached
// beside it, or at another port of the session, even one gone since) names
// no one board; the same port's earlier plug-ins are the same board's.
TEST(Board, ASerialIsSharedWhenAnotherPortHasIt)
{
    const shared_case cases[] = {
        {"alone", "SAME", {}, false},
        {"beside another", "SAME", {{"1-2", "SAME", std::nullopt}}, true},
        {"another serial beside it", "SAME", {{"1-2", "OTHER", std::nullopt}}, false},
        {"the same port's last plug-in", "SAME", {{"1-1", "SAME", "SAME"}}, false},
        {"read so by the other's flasher", "SAME", {{"1-3", "", "SAME"}}, true},
        {"an empty serial", "", {{"1-2", "", std::nullopt}}, false},
    };
    for (const shared_case &c : cases) {
        SCOPED_TRACE(c.what);
        std::deque<board> boards;
        for (const other &o : c.others) {
            board &b = boards.emplace_back();
            b.found.usb_path = o.usb_path;
            b.found.serial = o.survey_serial;
            b.events.serial = o.opened_serial;
        }
        board &b = boards.emplace_back();
        b.found.usb_path = "1-1";
        b.found.serial = c.serial;
        EXPECT_EQ(serial_shared(boards, b), c.shared);
    }
}

} // namespace
