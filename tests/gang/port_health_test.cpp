// Port health: the count of failures in a row at a port, flagged from the
// third, grown by each further failure and cleared by an ok; other results
// say nothing of the port.
#include "tools/gang/port_health.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

TEST(PortHealth, ThreeFailuresInARowFlagAPortAndAnOkClearsIt)
{
    using r = board_result;
    const struct {
        const char *what;
        std::vector<board_result> results; // at port 1-3, in order
        std::vector<std::string> news;     // what each result had to tell ("" nothing)
        std::vector<std::string> flagged;  // at the end
    } cases[] = {
        {"three failures",
         {r::failed, r::failed, r::failed},
         {"", "", "port 1-3: 3 failures in a row: check the cable or fixture"},
         {"port 1-3: 3 failures in a row: check the cable or fixture"}},
        {"a fourth grows the count",
         {r::failed, r::failed, r::failed, r::failed},
         {"", "", "port 1-3: 3 failures in a row: check the cable or fixture",
          "port 1-3: 4 failures in a row: check the cable or fixture"},
         {"port 1-3: 4 failures in a row: check the cable or fixture"}},
        {"an ok clears it",
         {r::failed, r::failed, r::failed, r::ok},
         {"", "", "port 1-3: 3 failures in a row: check the cable or fixture",
          "port 1-3: ok again after 3 failures in a row"},
         {}},
        {"an ok between restarts the count",
         {r::failed, r::failed, r::ok, r::failed, r::failed},
         {"", "", "", "", ""},
         {}},
        {"skipped, not flashed and interrupted say nothing of the port",
         {r::failed, r::skipped, r::failed, r::not_flashed, r::interrupted, r::failed},
         {"", "", "", "", "", "port 1-3: 3 failures in a row: check the cable or fixture"},
         {"port 1-3: 3 failures in a row: check the cable or fixture"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        port_health health;
        // Another port's failures never count at 1-3.
        health.note("1-4", r::failed);
        health.note("1-4", r::failed);
        std::vector<std::string> news;
        for (const board_result result : c.results) {
            const std::optional<port_news> n = health.note("1-3", result);
            news.push_back(n ? port_news_text(*n) : "");
        }
        EXPECT_EQ(news, c.news);
        EXPECT_EQ(health.flagged(), c.flagged);
    }
}

} // namespace
