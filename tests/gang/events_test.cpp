// flasher's events as the gang reads them, and the verdict it draws from
// them: what each line adds to a board's account, and when a board is ok.
// The lines are written out here in the channel's documented format. (How
// the record and the terminal escape a text: record_line_test.)
#include "tools/gang/events.h"
#include "tools/gang/text.h"
#include "tools/gang/verdict.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace
{

std::string lines(const std::vector<std::string> &each)
{
    std::string all;
    for (const std::string &line : each)
        all += line + "\n";
    return all;
}

// A whole firmware run of `pages` pages, and its trailer when `trailer`.
std::vector<std::string> firmware_run(unsigned pages, bool trailer)
{
    std::vector<std::string> run = {"start version=1",        "opened path=1-1 serial=534e3031",
                                    "attempt n=1 opened=1",   "begin what=erase",
                                    "erase asked=12 took=12", "zero n=1 asked=1 took=1",
                                    "zero n=2 asked=1 took=1"};
    for (unsigned p = 0; p < pages; ++p)
        run.push_back("page n=" + std::to_string(p) + " header=3 chunks=32");
    if (trailer)
        run.push_back("trailer asked=17 took=17");
    run.push_back("end status=0");
    return run;
}

event_state taken(const std::vector<std::string> &each)
{
    event_state state;
    take_event_bytes(state, lines(each));
    return state;
}

struct tally_case {
    const char *what;
    std::vector<std::string> lines;
    unsigned messages;
    std::optional<bool> erase;
    std::vector<bool> zero_bytes;
    unsigned pages;
    std::optional<bool> trailer;
    std::optional<bool> params;
    bool board_changed;
};

TEST(GangEvents, EachLineAddsToTheTally)
{
    const std::vector<std::string> whole = firmware_run(2, true);
    const tally_case cases[] = {
        {"a whole image", whole, 3 + 66 + 1, true, {true, true}, 2, true, std::nullopt, true},
        {"opened, nothing handed over",
         {"start version=1", "opened path=1-1 serial=41", "attempt n=1 opened=1"},
         0,
         std::nullopt,
         {},
         0,
         std::nullopt,
         std::nullopt,
         false},
        {"no device found",
         {"attempt n=1 opened=0", "attempt n=2 opened=0"},
         0,
         std::nullopt,
         {},
         0,
         std::nullopt,
         std::nullopt,
         false},
        {"died while the erase was in the transport",
         {"begin what=erase"},
         0,
         false,
         {},
         0,
         std::nullopt,
         std::nullopt,
         true},
        {"erase not taken",
         {"begin what=erase", "erase asked=12 took=-1", "end status=1"},
         0,
         false,
         {},
         0,
         std::nullopt,
         std::nullopt,
         true},
        {"erase timed out",
         {"begin what=erase", "erase asked=12 took=0"},
         0,
         false,
         {},
         0,
         std::nullopt,
         std::nullopt,
         true},
        {"a zero byte not taken",
         {"begin what=erase", "erase asked=12 took=12", "zero n=1 asked=1 took=0",
          "zero n=2 asked=1 took=1"},
         2,
         true,
         {false, true},
         0,
         std::nullopt,
         std::nullopt,
         true},
        {"a chunk cut short",
         {"begin what=erase", "erase asked=12 took=12", "zero n=1 asked=1 took=1",
          "zero n=2 asked=1 took=1", "page n=0 header=3 chunks=32",
          "page n=1 header=3 chunks=5 took=10"},
         3 + 33 + 1 + 5,
         true,
         {true, true},
         1,
         std::nullopt,
         std::nullopt,
         true},
        {"a page header not taken",
         {"begin what=erase", "erase asked=12 took=12", "page n=0 header=-1 chunks=0"},
         1,
         true,
         {},
         0,
         std::nullopt,
         std::nullopt,
         true},
        {"a trailer cut short",
         {"begin what=erase", "erase asked=12 took=12", "page n=0 header=3 chunks=32",
          "trailer asked=17 took=5"},
         1 + 33,
         true,
         {},
         1,
         false,
         std::nullopt,
         true},
        {"a parameter upload",
         {"begin what=params", "announce asked=1 took=1", "params asked=256 took=256"},
         2,
         std::nullopt,
         {},
         0,
         std::nullopt,
         true,
         true},
        {"parameters announced, the block not taken",
         {"begin what=params", "announce asked=1 took=1", "params asked=256 took=255"},
         1,
         std::nullopt,
         {},
         0,
         std::nullopt,
         false,
         true},
        {"parameters announced, no block sent",
         {"begin what=params", "announce asked=1 took=1", "end status=1"},
         1,
         std::nullopt,
         {},
         0,
         std::nullopt,
         false,
         true},
        {"the announcement not taken",
         {"begin what=params", "announce asked=1 took=-1"},
         0,
         std::nullopt,
         {},
         0,
         std::nullopt,
         false,
         true},
        {"malformed and unknown lines change nothing",
         {"page n=0 header", "Page n=0 header=3 chunks=32", "erase  asked=12 took=12", "",
          "page n=0 header=3 chunks=99", "later kind=1", "erase asked=12 took=x12"},
         0,
         false,
         {},
         0,
         std::nullopt,
         std::nullopt,
         false},
    };
    for (const tally_case &c : cases) {
        SCOPED_TRACE(c.what);
        const event_state s = taken(c.lines);
        EXPECT_EQ(s.tally.messages, c.messages);
        EXPECT_EQ(s.tally.erase, c.erase);
        EXPECT_EQ(s.tally.zero_bytes, c.zero_bytes);
        EXPECT_EQ(s.tally.pages, c.pages);
        EXPECT_EQ(s.tally.trailer, c.trailer);
        EXPECT_EQ(s.tally.params, c.params);
        EXPECT_EQ(s.board_changed, c.board_changed);
    }
}

// The malformed lines of the last case: each counted once, none taken.
TEST(GangEvents, MalformedLinesAreCountedAndPassedOver)
{
    const event_state s = taken({"page n=0 header", "Page n=0 header=3 chunks=32",
                                 "erase  asked=12 took=12", "", "later kind=1"});
    EXPECT_EQ(s.malformed, 4u);
}

struct serial_case {
    const char *line;
    std::optional<std::string> serial;
};

TEST(GangEvents, TheOpenedSerialIsDecodedFromHex)
{
    const serial_case cases[] = {
        {"opened path=1-1 serial=534e3031", "SN01"},
        {"opened path=1-1 serial=", ""},
        {"opened path=1-1 serial=-", std::nullopt},
        {"opened path=1-1 serial=410a706167653a20323339", "A\npage: 239"},
        {"opened path=1-1 serial=4", std::nullopt},
        {"opened path=1-1 serial=zz", std::nullopt},
    };
    for (const serial_case &c : cases) {
        SCOPED_TRACE(c.line);
        const event_state s = taken({c.line});
        EXPECT_TRUE(s.opened);
        EXPECT_EQ(s.serial, c.serial);
        EXPECT_EQ(s.step, flasher_step::connected);
    }
}

// A line that comes in pieces is taken once, when it is whole.
TEST(GangEvents, LinesSplitAcrossReadsAreTakenWhole)
{
    const std::string all = lines(firmware_run(1, true));
    for (std::size_t piece : {1, 3, 7, 64}) {
        SCOPED_TRACE(piece);
        event_state s;
        for (std::size_t at = 0; at < all.size(); at += piece)
            take_event_bytes(s, std::string_view(all).substr(at, piece));
        EXPECT_EQ(s.tally.messages, 3u + 33u + 1u);
        EXPECT_EQ(s.tally.pages, 1u);
        EXPECT_EQ(s.end_status, 0);
        EXPECT_TRUE(s.partial.empty());
    }
}

struct step_case {
    std::vector<std::string> lines;
    flasher_step step;
};

TEST(GangEvents, TheStepFollowsTheLines)
{
    const step_case cases[] = {
        {{"start version=1"}, flasher_step::starting},
        {{"attempt n=1 opened=0"}, flasher_step::retrying},
        {{"opened path=1-1 serial=41", "attempt n=1 opened=1"}, flasher_step::connected},
        {{"begin what=erase"}, flasher_step::erasing},
        {{"begin what=erase", "erase asked=12 took=12"}, flasher_step::settling},
        {{"page n=0 header=3 chunks=32"}, flasher_step::paging},
        {{"trailer asked=17 took=17"}, flasher_step::trailer},
        {{"begin what=params"}, flasher_step::parameters},
    };
    for (const step_case &c : cases) {
        SCOPED_TRACE(c.lines.back());
        EXPECT_EQ(taken(c.lines).step, c.step);
    }
}

// ---- the verdict ----

flasher_exit exited(int status)
{
    flasher_exit e;
    e.waited = true;
    e.exit_status = status;
    return e;
}

flasher_exit killed(int sig)
{
    flasher_exit e;
    e.waited = true;
    e.signal = sig;
    return e;
}

flasher_exit wait_failed(int error)
{
    flasher_exit e;
    e.wait_error = error;
    return e;
}

struct verdict_case {
    const char *what;
    flash_plan plan;
    std::vector<std::string> lines;
    flasher_exit exit;
    stop_cause stopped;
    board_result result;
    std::string reason;
};

TEST(Verdict, OkExactlyWhenExitedZeroAndEveryMessageThatCountsWasTaken)
{
    const flash_plan image{run_mode::firmware, 2, true};
    const flash_plan no_trailer{run_mode::firmware, 2, false};
    const flash_plan erase{run_mode::erase_only, 0, false};
    const flash_plan params{run_mode::parameters, 0, false};
    std::vector<std::string> short_trailer = firmware_run(2, false);
    short_trailer.insert(short_trailer.end() - 1, "trailer asked=17 took=0");
    std::vector<std::string> zero_lost = firmware_run(2, true);
    zero_lost[6] = "zero n=2 asked=1 took=-1";
    const std::vector<std::string> one_page = firmware_run(1, false);
    const std::vector<std::string> erased = {"begin what=erase", "erase asked=12 took=12",
                                             "zero n=1 asked=1 took=1", "zero n=2 asked=1 took=0"};
    const std::vector<std::string> uploaded = {"begin what=params", "announce asked=1 took=1",
                                               "params asked=256 took=256"};
    const verdict_case cases[] = {
        {"whole", image, firmware_run(2, true), exited(0), stop_cause::none, board_result::ok, ""},
        {"a zero byte lost does not decide", image, zero_lost, exited(0), stop_cause::none,
         board_result::ok, ""},
        {"trailer not taken", image, short_trailer, exited(0), stop_cause::none,
         board_result::failed, "the trailer was not taken whole"},
        {"trailer never sent", image, firmware_run(2, false), exited(0), stop_cause::none,
         board_result::failed, "the trailer was not sent"},
        {"no trailer planned", no_trailer, firmware_run(2, false), exited(0), stop_cause::none,
         board_result::ok, ""},
        {"a page short", no_trailer, one_page, exited(0), stop_cause::none, board_result::failed,
         "only 1 of 2 pages were taken whole"},
        {"flasher's own failure", image, firmware_run(1, false), exited(1), stop_cause::none,
         board_result::failed, "flasher exited 1"},
        {"no account given",
         image,
         {},
         exited(0),
         stop_cause::none,
         board_result::failed,
         "flasher gave no account of its messages"},
        {"an exit status that could not be had", image, firmware_run(2, true), wait_failed(ECHILD),
         stop_cause::none, board_result::failed,
         "its exit status could not be had: No child processes"},
        {"stopped by the gang",
         image,
         {"start version=1"},
         killed(15),
         stop_cause::interrupted,
         board_result::interrupted,
         "stopped: the gang was interrupted"},
        {"killed by another",
         image,
         {"start version=1"},
         killed(9),
         stop_cause::none,
         board_result::failed,
         "flasher was ended by signal 9"},
        {"unplugged",
         image,
         {"start version=1", "begin what=erase"},
         killed(9),
         stop_cause::unplugged,
         board_result::failed,
         "unplugged"},
        {"unplugged after it took everything", image, firmware_run(2, true), exited(0),
         stop_cause::unplugged, board_result::ok, ""},
        {"an erase", erase, erased, exited(0), stop_cause::none, board_result::ok, ""},
        {"an erase not taken",
         erase,
         {"begin what=erase", "erase asked=12 took=3"},
         exited(1),
         stop_cause::none,
         board_result::failed,
         "flasher exited 1"},
        {"a parameter upload", params, uploaded, exited(0), stop_cause::none, board_result::ok, ""},
        {"a parameter upload never handed over",
         params,
         {"start version=1"},
         exited(0),
         stop_cause::none,
         board_result::failed,
         "the parameter upload was never handed over"},
    };
    for (const verdict_case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> with_start = c.lines;
        if (c.what != std::string("no account given"))
            with_start.insert(with_start.begin(), "start version=1");
        const event_state s = taken(with_start);
        const board_verdict v = judge_flasher(c.plan, s.tally, s.started, c.exit, c.stopped);
        EXPECT_EQ(v.result, c.result);
        EXPECT_EQ(v.reason, c.reason);
    }
}

// ---- columns ----

TEST(Columns, CellsKeepTheirWidth)
{
    EXPECT_EQ(cell("ab", 5), "ab   ");
    EXPECT_EQ(cell("abcdefgh", 6), "abc...");
    EXPECT_EQ(cell("abcdefgh", 2), "ab");
    EXPECT_EQ(column_width(3, 12, 40), 12u);
    EXPECT_EQ(column_width(30, 12, 40), 30u);
    EXPECT_EQ(column_width(50, 12, 40), 40u);
}

} // namespace
