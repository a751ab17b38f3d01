// flasher-gang --watch against virtual devices that are plugged in and out
// while it runs (flasher-vdev's arrive= and leave=): what it flashes, once
// per plug-in, and what its record says of each plug-in. Every device that
// received anything is checked against the image by flasher-vdev.
#include "gang_facts.h"
#include "support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

using namespace support;
using namespace gang_facts;

namespace
{

const std::string gang = FLASHER_GANG_BIN;
// The same gang built with a device table of two entries, a flasher of the
// same table beside it.
const std::string gang_two_ids = FLASHER_GANG_TWO_IDS_BIN;

// (usb path, plug-in, result) of every record line, in order.
using fact = std::tuple<std::string, int, std::string>;

std::multiset<fact> facts_of(const std::string &path)
{
    std::multiset<fact> facts;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const json r = json::parse(line, nullptr, false);
        EXPECT_FALSE(r.is_discarded()) << line;
        if (!r.is_discarded())
            facts.insert(
                {r["usb_path"], r["plug_in"].is_null() ? 0 : r["plug_in"].get<int>(), r["result"]});
    }
    return facts;
}

// Runs the station in the background; once its record has `lines` lines
// and `until` seconds have passed since the command started (every planned
// plug-in and departure is over), or when the log of this run shows
// "erased" with `on_erase`, sends TERM and waits. Its exit status goes to
// status.txt (flasher-vdev's own is 3 when a device got a cut image); the
// flashers still running from this directory, to left.txt.
std::vector<std::string> stopper(int lines, double until, bool on_erase)
{
    const std::string condition =
        on_erase ? "grep -qsx erased logs/*/*.log"
                 : "[ \"$(cat record.jsonl 2>/dev/null | wc -l)\" -ge " + std::to_string(lines) +
                       " ] && awk -v s=$start -v n=$EPOCHREALTIME 'BEGIN { exit !(n - s >= " +
                       std::to_string(until) + ") }'";
    return {"/bin/bash", "-c",
            std::string(flashers_here_function) +
                "start=$EPOCHREALTIME; \"$@\" & gang=$!\n"
                "for ((i = 0; i < 600; i++)); do " +
                condition +
                " && break; sleep 0.05; done\n"
                "kill -TERM $gang; wait $gang; status=$?; echo $status >status.txt\n"
                "flashers_here >left.txt\n"
                "exit $status",
            "station"};
}

class Station : public testing::Test
{
  protected:
    scratch_dir dir;
    std::string image = dir.write("image.bin", pattern(11 + 3 * 2048 + 16));

    int station_status() const
    {
        return std::stoi(read_text(dir.file("status.txt"), "-1"));
    }

    vdev_result run(const std::vector<std::string> &devices, std::vector<std::string> wrapper,
                    std::vector<std::string> options = {}, bool fast_pauses = true,
                    const std::string &program = gang) const
    {
        std::remove(dir.file("status.txt").c_str());
        std::vector<std::string> command{"--watch", "--logs", "logs", "--record", "record.jsonl"};
        command.insert(command.end(), options.begin(), options.end());
        command.push_back("image.bin");
        vdev_result r = run_vdev(dir, {.options = {"--check-each"},
                                       .command = command,
                                       .devices = devices,
                                       .expect_image = image,
                                       .wrapper = std::move(wrapper),
                                       .program = program,
                                       .json = true,
                                       .fast_pauses = fast_pauses});
        EXPECT_EQ(read_text(dir.file("left.txt")), "") << "flashers left running";
        expect_one_line_per_plug_in(r);
        return r;
    }

    // What holds for every session: each plug-in that arrived has exactly
    // one line, which is ok exactly when the plug-in took the whole image,
    // and no plug-in was erased twice.
    void expect_one_line_per_plug_in(const vdev_result &r) const
    {
        const json account = json::parse(r.account, nullptr, false);
        ASSERT_FALSE(account.is_discarded()) << r.account << r.err;
        const std::vector<json> lines = last_run_lines(dir.file("record.jsonl"));
        for (const json &plug : plug_ins(account)) {
            const json line = line_for(lines, plug["usb_path"], plug["plug_in"]);
            ASSERT_FALSE(line.is_null()) << plug["usb_path"] << " plug-in " << plug["plug_in"];
            EXPECT_EQ(line["result"] == "ok", took_whole_image(plug)) << line << plug["check"];
            EXPECT_LE(erases(plug), 1u) << line;
        }
    }

    // The account's summary line of the plug-ins checked.
    static std::string check_of(const vdev_result &r)
    {
        const json account = json::parse(r.account, nullptr, false);
        return account.is_discarded() ? r.account : account["check"].value("text", "");
    }
};

// Each plug-in is judged and flashed once; a board left plugged in is not
// flashed again; a port is armed again when its board leaves; a board that
// arrives unusable is recorded, once per plug-in; one unplugged mid-image
// fails.
TEST_F(Station, FlashesEachPlugInOnce)
{
    struct plug_case {
        const char *what;
        std::vector<std::string> devices;
        double until; // seconds: every planned event is over
        std::multiset<fact> records;
        int status;        // the station's
        std::string check; // how the plug-ins that received anything compare with the image
    } cases[] = {
        {"in, out and in again; another left in",
         {"arrive=0.3,leave=1.8,arrive=2.1", "arrive=0.5"},
         2.5,
         {{"1-1", 1, "ok"}, {"1-1", 2, "ok"}, {"1-2", 1, "ok"}},
         0,
         "3 plug-ins that received anything, all intact"},
        {"there from the start, left in",
         {"service-us=0"},
         1.0,
         {{"1-1", 1, "ok"}},
         0,
         "1 plug-in that received anything, all intact"},
        {"unusable, plugged in twice",
         {"no-out,arrive=0.3,leave=0.6,arrive=0.8"},
         1.2,
         {{"1-1", 1, "not flashed"}, {"1-1", 2, "not flashed"}},
         1,
         ""}, // nothing received at all
        // Judged again every 2 s while it stays, and recorded once.
        {"busy until it leaves",
         {"held=usbfs,arrive=0.3,leave=2.7"},
         3.0,
         {{"1-1", 1, "not flashed"}},
         1,
         ""},
        // Not configured yet when it arrives: looked at again soon, then
        // every 2 s; recorded once, when it leaves.
        {"unconfigured until it leaves",
         {"unconfigured,arrive=0.3,leave=1.0"},
         1.4,
         {{"1-1", 1, "not flashed"}},
         1,
         ""},
        // Its flasher is stopped at once.
        {"unplugged mid-image",
         {"service-us=20000,arrive=0.3,leave=1.3", "arrive=0.3"},
         1.6,
         {{"1-1", 1, "failed"}, {"1-2", 1, "ok"}},
         1,
         "2 plug-ins that received anything, 1 differs: device 1 plug-in 1"},
    };
    for (const plug_case &c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(dir.file("record.jsonl").c_str());
        const vdev_result r =
            run(c.devices, stopper(static_cast<int>(c.records.size()), c.until, false));
        EXPECT_EQ(facts_of(dir.file("record.jsonl")), c.records);
        EXPECT_EQ(station_status(), c.status) << r.out << r.err;
        if (!c.check.empty()) {
            EXPECT_NE(check_of(r).find(c.check), std::string::npos) << check_of(r);
        }
    }
}

// --skip-done: a board whose serial the record already calls done with this
// image is not flashed again, and its line names the record that did.
TEST_F(Station, SkipsABoardTheRecordCallsDone)
{
    const vdev_result first = run({"serial=A"}, stopper(1, 0.5, false));
    ASSERT_EQ(first.status, 0) << first.err;
    const std::string first_run = json::parse(read_text(dir.file("record.jsonl")))["run"];

    const vdev_result r =
        run({"serial=A", "serial=B,arrive=0.3"}, stopper(3, 0.8, false), {"--skip-done"});
    EXPECT_EQ(station_status(), 0) << r.err;
    // Only B received anything.
    EXPECT_NE(check_of(r).find("1 plug-in that received anything, all intact"), std::string::npos)
        << check_of(r);
    std::ifstream in(dir.file("record.jsonl"));
    std::vector<json> second;
    for (std::string line; std::getline(in, line);)
        second.push_back(json::parse(line));
    ASSERT_EQ(second.size(), 3u);
    for (std::size_t i = 1; i < 3; ++i) {
        const json &line = second[i];
        const bool a = line["serial"] == "A";
        EXPECT_EQ(line["result"], a ? "skipped" : "ok") << line;
        EXPECT_EQ(line["done"].is_null() ? "" : line["done"]["run"], a ? first_run : "") << line;
    }
}

// INT, TERM or HUP while a board is being flashed: its flasher is stopped
// and waited for, the board is recorded interrupted and named half-written.
TEST_F(Station, StopDuringAFlashIsRecorded)
{
    const vdev_result r = run({"service-us=20000"}, stopper(0, 0, true));
    EXPECT_EQ(facts_of(dir.file("record.jsonl")), (std::multiset<fact>{{"1-1", 1, "interrupted"}}));
    EXPECT_NE(r.err.find("left half-written: 1-1 (plug-in 1)"), std::string::npos) << r.err;
    EXPECT_EQ(station_status(), 1) << r.err;
}

// The line of a plug-in, from this session's record.
json plug_in_line(const std::string &record, const std::string &path, int plug_in)
{
    return line_for(record_lines(record), path, plug_in);
}

// A board whose trailer was not taken is failed, so --skip-done flashes it
// again on its next plug-in rather than calling it done.
TEST_F(Station, ATrailerNotTakenIsFlashedAgainWithSkipDone)
{
    // Transfer 102 is the trailer of the 3-page image; the stall is the
    // first plug-in's.
    const vdev_result r =
        run({"serial=A,stall=102,leave=1.5,arrive=1.8"}, stopper(2, 2.2, false), {"--skip-done"});
    const json first = plug_in_line(dir.file("record.jsonl"), "1-1", 1);
    const json second = plug_in_line(dir.file("record.jsonl"), "1-1", 2);
    EXPECT_EQ(first["result"], "failed") << first;
    EXPECT_EQ(first["reason"], "the trailer was not taken whole") << first;
    EXPECT_EQ(second["result"], "ok") << second;
    EXPECT_NE(check_of(r).find("2 plug-ins that received anything, 1 differs: device 1 plug-in 1"),
              std::string::npos)
        << check_of(r);
}

// A board pulled out within moments of its arrival and plugged in again
// within the second flasher waits before it tries again (real pauses): the
// first plug-in's flasher is stopped when the board leaves, so only the
// second plug-in's flasher ever writes to the second plug-in, once.
TEST_F(Station, AReplugWithinTheRetryWindowGetsItsOwnFlasher)
{
    const vdev_result r =
        run({"serial=A,arrive=0.3,leave=0.31,arrive=1.3"}, stopper(2, 1.5, false), {}, false);
    const json account = json::parse(r.account, nullptr, false);
    ASSERT_FALSE(account.is_discarded()) << r.account;
    const json &plugs = account["devices"][0]["plug_ins"];
    ASSERT_EQ(plugs.size(), 2u) << r.account;
    EXPECT_FALSE(took_whole_image(plugs[0])) << plugs[0];
    EXPECT_TRUE(took_whole_image(plugs[1])) << plugs[1];
    EXPECT_EQ(erases(plugs[1]), 1u) << plugs[1];
    const json first = plug_in_line(dir.file("record.jsonl"), "1-1", 1);
    EXPECT_NE(first["result"], "ok") << first;
    EXPECT_EQ(plug_in_line(dir.file("record.jsonl"), "1-1", 2)["result"], "ok");
}

// A board that leaves while its flasher waits out the pause after the erase
// (real pauses: it would write again only after 4 s): the flasher is killed
// then and there, and the plug-in fails as unplugged.
TEST_F(Station, ABoardThatLeavesHasItsFlasherStopped)
{
    run({"arrive=0.3,leave=1.3"}, stopper(1, 1.5, false), {}, false);
    const json line = plug_in_line(dir.file("record.jsonl"), "1-1", 1);
    EXPECT_EQ(line["result"], "failed") << line;
    EXPECT_EQ(line["reason"], "unplugged") << line;
    EXPECT_EQ(line["signal"], 9) << line;
}

// Boards arriving together: each is judged and flashed, though libusb may
// hand the gang the later arrivals while it reads the first board.
TEST_F(Station, BoardsArrivingTogetherAreEachFlashed)
{
    const std::vector<std::string> devices(6, "arrive=0.3");
    const vdev_result r = run(devices, stopper(6, 0.5, false));
    EXPECT_EQ(station_status(), 0) << r.err;
    EXPECT_NE(check_of(r).find("6 plug-ins that received anything, all intact"), std::string::npos)
        << check_of(r);
}

// A build whose device table has two entries hears boards of both.
TEST_F(Station, EveryEntryOfTheDeviceTableIsHeard)
{
    const vdev_result r =
        run({"arrive=0.3", "pid=000C,arrive=0.3"}, stopper(2, 0.5, false), {}, true, gang_two_ids);
    EXPECT_EQ(station_status(), 0) << r.err;
    EXPECT_EQ(facts_of(dir.file("record.jsonl")),
              (std::multiset<fact>{{"1-1", 1, "ok"}, {"1-2", 1, "ok"}}));
    EXPECT_NE(check_of(r).find("2 plug-ins that received anything, all intact"), std::string::npos)
        << check_of(r);
}

// Port health: a port whose last three plug-ins failed is flagged as an
// event, which an ok clears; the plug-ins as their accounts tell.
TEST_F(Station, APortThatKeepsFailingIsFlaggedUntilAnOk)
{
    const vdev_result r = run({"serial=P,arrive=0.3,stall=40,leave=1.1,arrive=1.4,stall=40,"
                               "leave=2.2,arrive=2.5,stall=40,leave=3.3,arrive=3.6"},
                              stopper(4, 4.0, false), {"--json"});
    EXPECT_EQ(
        facts_of(dir.file("record.jsonl")),
        (std::multiset<fact>{
            {"1-1", 1, "failed"}, {"1-1", 2, "failed"}, {"1-1", 3, "failed"}, {"1-1", 4, "ok"}}));
    std::vector<json> health;
    std::size_t from = 0;
    for (std::size_t eol; (eol = r.out.find('\n', from)) != std::string::npos; from = eol + 1) {
        const json e = json::parse(r.out.substr(from, eol - from), nullptr, false);
        if (!e.is_discarded() && e.value("event", "") == "port_health")
            health.push_back(e);
    }
    ASSERT_EQ(health.size(), 2u) << r.out;
    EXPECT_EQ(health[0]["usb_path"], "1-1");
    EXPECT_EQ(health[0]["failures_in_a_row"], 3);
    EXPECT_EQ(health[0]["text"], "port 1-1: 3 failures in a row: check the cable or fixture");
    EXPECT_EQ(health[1]["failures_in_a_row"], 0);
    EXPECT_EQ(health[1]["text"], "port 1-1: ok again after 3 failures in a row");
}

} // namespace
