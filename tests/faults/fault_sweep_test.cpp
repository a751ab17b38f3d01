// The fault sweep: the real flasher against a virtual device that fails one
// bulk transfer, for every transfer of a small image (two pages and a
// trailer), of a parameter upload and of an erase, and for each kind of
// fault. Each run must end with the one message the rules give for the first
// failure that counts, the exit status that goes with it, and no transfer
// after that failure; every transfer before it must have carried the right
// bytes (the virtual device's own check against the file).
//
// Each position runs twice: once as a user runs flasher, once with the event
// lines of a supervisor on (FLASHER_EVENTS_FD). Both runs must meet the same
// rules, byte for byte, and each event line must tell what the device's own
// account says its message came to.
//
// Time-outs cost real time (libusb waits the whole time-out), so they are
// sampled: a page header, the first and the last chunk, the parameter
// transfers and the erase message. Time-outs of the zero bytes and the trailer (10 s
// each) are left to the unit tests, whose fake transport returns 0 at once.
#include "support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <tuple>
#include <vector>

using namespace support;

namespace
{

// What one transfer of a run is, written from the message sequence.
struct transfer {
    std::size_t length;
    bool required;         // its failure ends the run
    const char *error;     // the line that failure prints
    unsigned pages_before; // whole pages sent before it
};

// erase, two zero bytes, then per page a header and 32 chunks, then the
// trailer (the two-page image has one).
std::vector<transfer> firmware_transfers(unsigned pages, bool trailer)
{
    std::vector<transfer> t{{12, true, "erase error\n", 0}, {1, false, "", 0}, {1, false, "", 0}};
    for (unsigned p = 0; p < pages; ++p) {
        t.push_back({3, true, "error during flashing\n", p});
        for (int k = 0; k < 32; ++k)
            t.push_back({64, true, "error during flashing\n", p});
    }
    if (trailer)
        t.push_back({17, false, "", pages});
    return t;
}

std::vector<transfer> params_transfers()
{
    return {{1, true, "write error\n", 0}, {256, true, "error writing parameters\n", 0}};
}

std::vector<transfer> erase_transfers()
{
    return {{12, true, "erase error\n", 0}, {1, false, "", 0}, {1, false, "", 0}};
}

enum class mode { firmware, params, erase };

struct expected_run {
    int status;
    std::string err;
    std::size_t transfers;           // what the device saw
    std::vector<std::size_t> faulty; // transfers that did not complete
    std::vector<long> pauses;
};

// The rules: a device that is gone fails every later transfer too; the
// first failed transfer that is required ends the run with its line.
expected_run expect(mode m, const std::vector<transfer> &t, fault f, std::size_t at)
{
    expected_run e{0, "", t.size(), {}, {}};
    std::size_t stop = t.size();
    for (std::size_t i = at; i < t.size(); ++i) {
        if (i == at || f == fault::gone) {
            e.faulty.push_back(i);
            if (t[i].required) {
                stop = i;
                break;
            }
        } else {
            break;
        }
    }
    const bool failed = stop < t.size();
    if (m != mode::params)
        e.err = "continuing with flashing\nerased\n";
    if (failed) {
        e.status = 1;
        e.transfers = stop + 1;
        e.err += page_lines(t[stop].pages_before) + t[stop].error;
    } else if (m == mode::firmware) {
        e.err += page_lines(t.back().pages_before);
    }
    if (m != mode::params && !(failed && stop == 0))
        e.pauses = {4};
    return e;
}

const char device_lines[] = "Path: 1-1\nstring desc 6 vdev-1\n";

// flasher run with its event lines going to events.txt in the test's directory.
const std::vector<std::string> with_events = {
    "/bin/sh", "-c", "exec 3>events.txt; FLASHER_EVENTS_FD=3 exec \"$@\"", "events"};

// What the transport returns for a transfer the device's account describes:
// the bytes taken, 0 when libusb gave up on a time-out, -1 for any other
// failure.
long transport_result(const nlohmann::json &message)
{
    const std::string outcome = message["outcome"];
    if (outcome == "completed" || outcome == "short")
        return message["taken"];
    return outcome == "timed out" ? 0 : -1;
}

std::string took(const nlohmann::json &message)
{
    return " asked=" + std::to_string(message["length"].get<long>()) +
           " took=" + std::to_string(transport_result(message)) + "\n";
}

// The event lines a supervisor must get, written from the device's account
// of each message (never from flasher's own lines) and the exit status.
std::string events_from_account(const std::string &account_json, int status)
{
    const nlohmann::json account = nlohmann::json::parse(account_json);
    // "vdev-1" in hex, the only device's serial.
    std::string lines = "start version=1\nopened path=1-1 serial=766465762d31\n"
                        "attempt n=1 opened=1\n";
    int zero = 0;
    for (const nlohmann::json &m : account["devices"][0]["account"]["messages"]) {
        const std::string kind = m["kind"];
        if (kind == "erase")
            lines += "begin what=erase\nerase" + took(m);
        else if (kind == "zero_byte")
            lines += "zero n=" + std::to_string(++zero) + took(m);
        else if (kind == "trailer")
            lines += "trailer" + took(m);
        else if (kind == "params_announce")
            lines += "begin what=params\nannounce" + took(m);
        else if (kind == "params_block")
            lines += "params" + took(m);
        else if (kind == "page") {
            const std::string start = "page n=" + std::to_string(m["number"].get<long>());
            const long chunks = m["chunks"];
            if (m["header_failed"])
                lines += start + " header=" + std::to_string(transport_result(m)) + " chunks=0\n";
            else if (chunks == 32 && m["outcome"] == "completed")
                lines += start + " header=3 chunks=32\n";
            else
                lines += start + " header=3 chunks=" + std::to_string(chunks) +
                         " took=" + std::to_string(transport_result(m)) + "\n";
        }
    }
    return lines + "end status=" + std::to_string(status) + "\n";
}

void sweep_one(const scratch_dir &dir, mode m, const std::vector<transfer> &t, fault f, bool events,
               std::size_t at, const std::vector<std::string> &command, const std::string &file)
{
    SCOPED_TRACE(std::string(fault_name(f)) + " at transfer " + std::to_string(at) +
                 (events ? " with event lines" : ""));
    const expected_run e = expect(m, t, f, at);
    vdev_call call;
    call.json = true;
    if (events)
        call.wrapper = with_events;
    call.devices = {fault_spec(f, at, t[at].length)};
    call.command = command;
    if (m == mode::firmware)
        call.expect_image = file;
    if (m == mode::params)
        call.expect_params = file;
    const vdev_result r = run_vdev(dir, call);

    EXPECT_EQ(json_number(r.account, "command_status"), e.status);
    EXPECT_EQ(r.err, e.err);
    EXPECT_EQ(r.out, device_lines);
    EXPECT_EQ(json_number(r.account, "transfers"), static_cast<long>(e.transfers));
    EXPECT_EQ(json_numbers(r.account, "pauses"), e.pauses);
    if (events) {
        EXPECT_EQ(read_text(dir.file("events.txt")), events_from_account(r.account, e.status));
    }
    if (m == mode::erase)
        return; // nothing to check the bytes against but the erase itself
    // The device's check: each faulty transfer is named ("#N: ..."), every
    // other one carried the right bytes, and what is missing starts after
    // the stop.
    std::vector<std::size_t> named;
    bool missing_tail = false;
    for (const std::string &line : check_lines(r.account)) {
        if (line.rfind('#', 0) == 0)
            named.push_back(std::stoul(line.substr(1)));
        if (line.rfind("missing from #" + std::to_string(e.transfers) + " on", 0) == 0)
            missing_tail = true;
    }
    EXPECT_EQ(named, e.faulty) << r.account;
    EXPECT_EQ(missing_tail, e.transfers < t.size()) << r.account;
}

// A fault kind, and whether flasher writes its event lines.
class FaultSweep : public testing::TestWithParam<std::tuple<fault, bool>>
{
  protected:
    scratch_dir dir;
    const fault kind = std::get<0>(GetParam());
    const bool events = std::get<1>(GetParam());
    void sweep(mode m, const std::vector<transfer> &t, std::size_t at,
               const std::vector<std::string> &command, const std::string &file) const
    {
        sweep_one(dir, m, t, kind, events, at, command, file);
    }
};

TEST_P(FaultSweep, EveryTransferOfAnImage)
{
    const auto image = pattern(11 + 2 * 2048 + 16);
    const std::string path = dir.write("image.bin", image);
    const auto t = firmware_transfers(2, true);
    ASSERT_EQ(t.size(), 70u);
    if (kind == fault::timeout) {
        for (std::size_t at : {std::size_t{3}, std::size_t{4}, std::size_t{68}})
            sweep(mode::firmware, t, at, {path}, path);
        return;
    }
    for (std::size_t at = 0; at < t.size(); ++at)
        sweep(mode::firmware, t, at, {path}, path);
}

TEST_P(FaultSweep, EveryTransferOfAParameterUpload)
{
    const auto block = pattern(256);
    const std::string path = dir.write("params.bin", block);
    const auto t = params_transfers();
    for (std::size_t at = 0; at < t.size(); ++at)
        sweep(mode::params, t, at, {path, "all"}, path);
}

TEST_P(FaultSweep, EveryTransferOfAnErase)
{
    const auto t = erase_transfers();
    // The erase message's own time-out (5 s) is the one affordable here.
    const std::size_t positions = kind == fault::timeout ? 1 : t.size();
    for (std::size_t at = 0; at < positions; ++at)
        sweep(mode::erase, t, at, {"erase"}, "");
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultSweep,
                         testing::Combine(testing::Values(fault::stall, fault::timeout,
                                                          fault::short_taken, fault::gone),
                                          testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<fault, bool>> &p) {
                             return std::string(fault_name(std::get<0>(p.param))) +
                                    (std::get<1>(p.param) ? "_with_events" : "");
                         });

} // namespace
