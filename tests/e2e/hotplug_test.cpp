// Devices that arrive and leave while the command runs (arrive=, leave=),
// and an interface another holds (held=): what libusb sees of them, and what
// flasher and the account make of it.
#include "support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

using support::vdev_call;
using support::vdev_result;

namespace
{

const std::string watch = LIBUSB_WATCH_BIN;

// Short and quick: erase, two zero bytes, one page and the trailer.
support::bytes small_image()
{
    return support::pattern(11 + 2048 + 16);
}

class Hotplug : public ::testing::Test
{
  protected:
    support::scratch_dir dir;

    vdev_result run(const vdev_call &call) const
    {
        return support::run_vdev(dir, call);
    }
};

// ---- what a libusb listener in the command sees ----

struct listener_case {
    const char *name;
    std::vector<std::string> devices;
    double seconds;
    std::vector<std::string> events; // the listener's events, without their times
    std::vector<long> due_ms;        // when each is due from the command's start; -1: enumerated
    std::vector<std::string> lists;  // the device list, each time it changed
};

class Listener : public Hotplug, public ::testing::WithParamInterface<listener_case>
{
};

// libusb changes its list on its own thread and calls back on the caller's,
// so a list line may come just before its event's line: events and lists are
// compared each in their own order.
TEST_P(Listener, GetsEachEventInOrderAndTheListFollows)
{
    const listener_case &c = GetParam();
    std::ostringstream seconds;
    seconds << c.seconds;
    vdev_result r =
        run({.command = {"events", seconds.str()}, .devices = c.devices, .program = watch});
    ASSERT_EQ(r.status, 0) << r.err << r.account;
    std::vector<std::string> events, lists;
    std::vector<long> times;
    std::istringstream out(r.out);
    for (std::string line; std::getline(out, line);) {
        const std::string what = line.substr(line.find(' ') + 1);
        if (what.starts_with("list")) {
            lists.push_back(what);
            continue;
        }
        events.push_back(what);
        times.push_back(std::strtol(line.c_str(), nullptr, 10));
    }
    ASSERT_EQ(events, c.events) << r.out;
    EXPECT_EQ(lists, c.lists) << r.out;
    for (std::size_t i = 0; i < times.size(); ++i) {
        // Never early (the listener's clock starts a little after the
        // command's); late by no more than a loaded machine can explain.
        if (c.due_ms[i] >= 0) {
            EXPECT_GE(times[i], c.due_ms[i] - 100) << events[i];
            EXPECT_LE(times[i], c.due_ms[i] + 500) << events[i];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Events, Listener,
    ::testing::Values(
        // A there throughout (address 2); B plugged in, out and in again:
        // each plug-in a new address.
        listener_case{"ReplugGetsANewAddress",
                      {"serial=A", "serial=B,arrive=0.3,leave=0.6,arrive=0.9"},
                      1.2,
                      {"enumerated 1-2", "arrived 1-3", "left 1-3", "arrived 1-4"},
                      {-1, 300, 600, 900},
                      {"list 1-2", "list 1-2 1-3", "list 1-2", "list 1-2 1-4"}},
        // A leaves first and comes back after B arrived; the address A had
        // is not given again yet.
        listener_case{"LeaveFirstAndInterleaved",
                      {"serial=A,leave=0.2,arrive=0.45", "serial=B,arrive=0.3"},
                      0.7,
                      {"enumerated 1-2", "left 1-2", "arrived 1-3", "arrived 1-4"},
                      {-1, 200, 300, 450},
                      {"list 1-2", "list", "list 1-3", "list 1-3 1-4"}}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- flasher on a device plugged in twice ----

// flasher programs the device, waits for it to come back, and programs it
// again: the account shows each plug-in with its own transfers, pause and
// check, under the one device. (The first flasher has 1.5 s before the
// board leaves, and the listener a second more to start before it comes
// back: room for a loaded machine.)
TEST_F(Hotplug, EachPlugInHasItsOwnAccount)
{
    dir.write("img.bin", small_image());
    const std::string script = "\"$1\" img.bin >/dev/null 2>first.err || exit 1\n"
                               "\"$2\" events 20 --until-arrival >/dev/null || exit 2\n"
                               "exec \"$1\" img.bin >/dev/null 2>second.err\n";
    vdev_result r = run({.command = {watch},
                         .devices = {"serial=R,leave=1.5,arrive=2.5"},
                         .expect_image = "img.bin",
                         .wrapper = {"/bin/sh", "-c", script, "replug"},
                         .json = true});
    ASSERT_EQ(r.status, 0) << r.err << r.account;
    const nlohmann::json account = nlohmann::json::parse(r.account);
    EXPECT_EQ(account["pauses"], nlohmann::json({4, 4}));
    const nlohmann::json &plug_ins = account["devices"][0]["plug_ins"];
    ASSERT_EQ(plug_ins.size(), 2u) << r.account;
    const std::vector<long> addresses = {2, 3};
    const std::vector<nlohmann::json> left = {true, false};
    for (std::size_t k = 0; k < 2; ++k) {
        const nlohmann::json &p = plug_ins[k];
        EXPECT_EQ(p["plug_in"], k + 1);
        EXPECT_EQ(p["address"], addresses[k]);
        EXPECT_EQ(p["left"], left[k]);
        EXPECT_EQ(p["opened"], 1);
        EXPECT_EQ(p["claimed"], true);
        EXPECT_EQ(p["account"]["transfers"], 3 + 33 + 1);
        EXPECT_EQ(p["account"]["messages"][1]["kind"], "pause");
        EXPECT_EQ(p["check"]["result"], "intact");
    }
    EXPECT_EQ(plug_ins[0]["leave_ms"], 1500);
    EXPECT_EQ(plug_ins[1]["arrive_ms"], 2500);
    EXPECT_EQ(account["check"]["text"],
              "checked against img.bin: 2 plug-ins that received anything, all intact\n");
}

// The same as text: the plug-ins' own lines, each plug-in's account and
// check indented under its line.
TEST_F(Hotplug, TextAccountShowsThePlugInsApart)
{
    const std::string script = "\"$1\" erase >/dev/null 2>&1\n"
                               "\"$2\" events 20 --until-arrival >/dev/null\n";
    vdev_result r = run({.command = {watch},
                         .devices = {"serial=T,leave=1.5,arrive=2.5,leave=30"},
                         .wrapper = {"/bin/sh", "-c", script, "replug"}});
    ASSERT_EQ(r.status, 0) << r.err << r.account;
    for (const char *line :
         {"\n  plug-in 1: there from the start, left at 1.5 s, address 2\n"
          "    opened 1, closed 0, serial read 1, interface 0 claimed\n"
          "    bulk OUT: endpoint 02 3\n    transfers: 3, bytes taken: 14\n",
          "\n  plug-in 2: arrived at 2.5 s, still plugged in at the end, address 3\n"
          "    opened 0, closed 0, serial read 0, interface 0 not claimed\n    no transfers\n"}) {
        EXPECT_NE(r.account.find(line), std::string::npos) << line << "in\n" << r.account;
    }
}

// ---- a departure during a transfer ----

struct departure_case {
    const char *name;
    const char *device; // a transfer that never ends, and the departure
    std::string message;
    long transfers;        // recorded, the one that was in flight included
    const char *in_flight; // the message kind of the transfer that failed
};

class Departure : public Hotplug, public ::testing::WithParamInterface<departure_case>
{
};

TEST_P(Departure, FailsTheTransferInFlight)
{
    const departure_case &c = GetParam();
    dir.write("img.bin", small_image());
    vdev_result r = run({.command = {"img.bin"}, .devices = {c.device}, .json = true});
    EXPECT_EQ(r.status, 1) << r.account;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    const nlohmann::json account = nlohmann::json::parse(r.account);
    const nlohmann::json &p = account["devices"][0]["plug_ins"][0];
    EXPECT_EQ(p["left"], true);
    EXPECT_EQ(p["account"]["transfers"], c.transfers);
    const nlohmann::json &last = p["account"]["messages"].back();
    EXPECT_EQ(last["kind"], c.in_flight);
    EXPECT_EQ(last["outcome"], "gone");
    EXPECT_EQ(last["taken"], 0);
}

INSTANTIATE_TEST_SUITE_P(Transfers, Departure,
                         ::testing::Values(departure_case{"Erase", "timeout=0,leave=0.3",
                                                          "erase error\n", 1, "erase"},
                                           // Transfer 5 is the second chunk of page 0.
                                           departure_case{"Chunk", "timeout=5,leave=0.3",
                                                          "error during flashing\n", 6, "page"}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- an interface another holds ----

struct held_case {
    const char *name;
    std::string device;
    std::string seen; // libusb_watch driver's line
    long refused_claims;
};

class Held : public Hotplug, public ::testing::WithParamInterface<held_case>
{
};

TEST_P(Held, GetDriverAnswersAndTheClaimIsRefused)
{
    const held_case &c = GetParam();
    vdev_result r =
        run({.command = {"driver"}, .devices = {c.device}, .program = watch, .json = true});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.seen);
    EXPECT_EQ(support::json_number(r.account, "refused_claims"), c.refused_claims);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, Held,
    ::testing::Values(held_case{"NoDriver", "serial=F", "1-2 getdriver ENODATA claim 0 active 0\n",
                                -1},
                      // Another program through usbfs: not a kernel driver to libusb.
                      held_case{"Usbfs", "held=usbfs",
                                "1-2 getdriver usbfs claim LIBUSB_ERROR_BUSY active 0\n", 1},
                      held_case{"KernelDriver", "held=usbhid",
                                "1-2 getdriver usbhid claim LIBUSB_ERROR_BUSY active 1\n", 1}),
    [](const auto &info) { return std::string(info.param.name); });

// flasher does not judge its claim; its first write then fails, and nothing
// reaches the device.
TEST_F(Hotplug, FlasherOnAHeldInterfaceFailsItsErase)
{
    vdev_result r = run({.command = {"erase"}, .devices = {"held=usbfs"}, .json = true});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("erase error\n"), std::string::npos) << r.err;
    EXPECT_EQ(support::json_number(r.account, "transfers"), 0);
    EXPECT_EQ(support::json_number(r.account, "refused_claims"), 1);
    EXPECT_EQ(support::json_number(r.account, "refused_submits"), 1);
}

} // namespace
