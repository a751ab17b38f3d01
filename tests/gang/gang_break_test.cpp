// flasher-gang as users break it: a trailer the board does not take, a
// parent that ignores SIGCHLD, SIGKILL of the gang, a stop before anything
// started, Ctrl-C while the erase is in flight, serials that hold control
// characters or are too long for a column, no usable board, and a flasher
// that will not stop. Each judged by the devices' own accounts.
#include "gang_facts.h"
#include "support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace support;
using namespace gang_facts;

namespace
{

const std::string gang = FLASHER_GANG_BIN;

// Runs a shell wrapper's loop until `condition` holds, 60 s at most.
std::string until(const std::string &condition)
{
    return "for ((i = 0; i < 1200; i++)); do " + condition + " && break; sleep 0.05; done\n";
}

class GangBreak : public testing::Test
{
  protected:
    scratch_dir dir;
    std::string image = dir.write("image.bin", pattern(11 + 3 * 2048 + 16));

    // The gang under flasher-vdev, every device checked against the image.
    vdev_result run(std::vector<std::string> devices, std::vector<std::string> args,
                    std::vector<std::string> wrapper = {}, std::string program = gang) const
    {
        std::vector<std::string> command{"--logs", "logs", "--record", "record.jsonl"};
        command.insert(command.end(), args.begin(), args.end());
        return run_vdev(dir, {.options = {"--check-each"},
                              .command = command,
                              .devices = std::move(devices),
                              .expect_image = image,
                              .wrapper = std::move(wrapper),
                              .program = std::move(program),
                              .json = true});
    }

    json account_of(const vdev_result &r) const
    {
        json account = json::parse(r.account, nullptr, false);
        EXPECT_FALSE(account.is_discarded()) << r.account << r.err;
        return account;
    }

    // Each board's line is ok exactly when its account holds the image.
    void expect_ok_exactly_when_whole(const vdev_result &r) const
    {
        const std::vector<json> lines = last_run_lines(dir.file("record.jsonl"));
        for (const json &plug : plug_ins(account_of(r))) {
            const json line = line_for(lines, plug["usb_path"], 0);
            ASSERT_FALSE(line.is_null()) << plug["usb_path"];
            EXPECT_EQ(line["result"] == "ok", took_whole_image(plug)) << line << plug["check"];
        }
    }
};

// The trailer of a 3-page image is transfer 102: a board that does not
// take it whole is failed, and says why; flasher itself exits 0.
TEST_F(GangBreak, ATrailerNotTakenFailsTheBoard)
{
    for (const char *fault : {"stall=102", "short=102:5", "gone=102"}) {
        SCOPED_TRACE(fault);
        std::remove(dir.file("record.jsonl").c_str());
        const vdev_result r = run({fault, "service-us=0"}, {"image.bin"});
        EXPECT_EQ(json_number(r.account, "command_status"), 1) << r.err;
        const std::vector<json> lines = record_lines(dir.file("record.jsonl"));
        const json faulty = line_for(lines, "1-1", 0);
        EXPECT_EQ(faulty["result"], "failed");
        EXPECT_EQ(faulty["reason"], "the trailer was not taken whole");
        EXPECT_EQ(faulty["exit_status"], 0);
        EXPECT_EQ(faulty["taken"]["trailer"], false);
        EXPECT_EQ(faulty["taken"]["pages"], 3);
        EXPECT_EQ(line_for(lines, "1-2", 0)["result"], "ok");
        expect_ok_exactly_when_whole(r);
    }
}

// A parent that ignores SIGCHLD: the kernel would reap the flashers and
// every exit status would read 0. The gang puts SIGCHLD back.
TEST_F(GangBreak, AParentIgnoringSigchldChangesNoVerdict)
{
    const vdev_result r = run({"stall=40", "service-us=0"}, {"image.bin"},
                              {"perl", "-e", "$SIG{CHLD} = 'IGNORE'; exec @ARGV or exit 126"});
    EXPECT_EQ(json_number(r.account, "command_status"), 1) << r.err;
    const std::vector<json> lines = record_lines(dir.file("record.jsonl"));
    EXPECT_EQ(line_for(lines, "1-1", 0)["exit_status"], 1);
    expect_ok_exactly_when_whole(r);
}

// SIGKILL of the gang mid-image: its flashers die with it, so no board goes
// on being flashed with no one to record it.
TEST_F(GangBreak, AGangKilledWithSigkillLeavesNoFlasher)
{
    const std::string wrapper =
        std::string(flashers_here_function) + "\"$@\" & gang=$!\n" +
        until("[ \"$(grep -lx erased logs/*/*.log 2>/dev/null | wc -l)\" = 2 ]") +
        "kill -KILL $gang; wait $gang\n" + until("[ -z \"$(flashers_here)\" ]") +
        "flashers_here >left.txt\n";
    const vdev_result r = run({"service-us=20000", "service-us=20000"}, {"--quiet", "image.bin"},
                              {"/bin/bash", "-c", wrapper, "kill"});
    EXPECT_EQ(read_text(dir.file("left.txt")), "");
    for (const json &plug : plug_ins(account_of(r))) {
        // Killed with the gang, seconds before its image would be whole.
        EXPECT_FALSE(took_whole_image(plug)) << plug["usb_path"];
    }
}

// A stop already asked when the gang starts (left pending by its parent)
// starts no flasher and touches no device, in a batch and in a station.
TEST_F(GangBreak, AStopAskedAtTheStartTouchesNoDevice)
{
    const std::vector<std::string> pending = {
        "perl", "-MPOSIX", "-e",
        "sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGTERM)); kill 'TERM', $$; exec @ARGV "
        "or exit 126"};
    for (const bool station : {false, true}) {
        SCOPED_TRACE(station ? "station" : "batch");
        std::vector<std::string> args{"image.bin"};
        if (station)
            args.insert(args.begin(), "--watch");
        const vdev_result r = run({"service-us=0", "service-us=0"}, args, pending);
        EXPECT_EQ(json_number(r.account, "command_status"), 130) << r.err;
        EXPECT_EQ(json_number(r.account, "transfers"), 0) << r.account;
        EXPECT_EQ(read_text(dir.file("record.jsonl"), ""), "");
    }
}

// INT while the erase is in the transport (the device never answers it):
// the board may be erased already, and is named half-written.
TEST_F(GangBreak, InterruptDuringTheEraseNamesTheBoard)
{
    const std::string wrapper = "\"$@\" & gang=$!\n" +
                                until("grep -qsx 'continuing with flashing' logs/*/*.log") +
                                "sleep 0.2; kill -INT $gang; wait $gang\n";
    const vdev_result r =
        run({"timeout=0"}, {"--quiet", "image.bin"}, {"/bin/bash", "-c", wrapper, "interrupt"});
    EXPECT_EQ(json_number(r.account, "command_status"), 130) << r.err;
    EXPECT_NE(r.err.find("flasher-gang: interrupted; left half-written: 1-1\n"), std::string::npos)
        << r.err;
    const std::vector<json> lines = record_lines(dir.file("record.jsonl"));
    EXPECT_EQ(line_for(lines, "1-1", 0)["taken"]["erase"], false);
}

// What a device says reaches the terminal escaped, and a serial too long
// for its column is cut: every table line keeps its columns. The record
// keeps the serial as flasher read it.
TEST_F(GangBreak, SerialsAreEscapedAndColumnsHold)
{
    const std::string forged = "A\npage: 239";
    const std::string long_serial(60, 'L');
    const vdev_result r = run({"serial=" + forged, "serial=" + long_serial}, {"image.bin"});
    EXPECT_EQ(json_number(r.account, "command_status"), 0) << r.err;
    const std::vector<json> lines = record_lines(dir.file("record.jsonl"));
    EXPECT_EQ(line_for(lines, "1-1", 0)["serial"], forged);
    EXPECT_EQ(line_for(lines, "1-1", 0)["taken"]["pages"], 3);
    EXPECT_EQ(line_for(lines, "1-2", 0)["serial"], long_serial);
    // Plain lines as boards start and end, then the table.
    const std::string shown = "A\\x0Apage: 239";
    EXPECT_NE(r.out.find("1-1 " + shown + ": ok after "), std::string::npos) << r.out;
    std::vector<std::string> rows;
    std::size_t result_column = std::string::npos;
    std::istringstream out(r.out);
    for (std::string line; std::getline(out, line);) {
        EXPECT_NE(line.back(), ' ') << "trailing spaces: " << line;
        if (line.find(": ok after ") != std::string::npos) {
            EXPECT_TRUE(line.ends_with(": page: 2")) << line;
        } else if (line.starts_with("usb path")) {
            result_column = line.find("result");
        } else if (result_column != std::string::npos && line.starts_with("1-")) {
            rows.push_back(line);
        }
    }
    ASSERT_EQ(rows.size(), 2u) << r.out;
    for (const std::string &row : rows) {
        EXPECT_EQ(row.substr(result_column, 3), "ok ") << row;
        EXPECT_NE(row.find(row.starts_with("1-1") ? shown : long_serial.substr(0, 30)),
                  std::string::npos)
            << row;
    }
}

// Two boards attached with the serial the record calls done: neither is
// skipped, since the record cannot tell which of them it was.
TEST_F(GangBreak, BoardsSharingASerialAreNeverSkipped)
{
    const vdev_result first = run({"serial=SAME"}, {"image.bin"});
    ASSERT_EQ(json_number(first.account, "command_status"), 0) << first.err;
    const vdev_result r =
        run({"serial=SAME", "serial=SAME", "serial=ALONE"}, {"--skip-done", "image.bin"});
    const std::vector<json> lines = last_run_lines(dir.file("record.jsonl"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(line_for(lines, "1-1", 0)["result"], "ok");
    EXPECT_EQ(line_for(lines, "1-2", 0)["result"], "ok");
    // Alone with its serial and never flashed before: not done either.
    EXPECT_EQ(line_for(lines, "1-3", 0)["result"], "ok");
    expect_ok_exactly_when_whole(r);
}

// --skip-unusable passes over unusable boards, not over a run that could
// flash none.
TEST_F(GangBreak, SkipUnusableWithNothingUsableFails)
{
    const vdev_result r = run({"no-out", "held=usbfs"}, {"--skip-unusable", "image.bin"});
    EXPECT_EQ(json_number(r.account, "command_status"), 1) << r.err;
    EXPECT_NE(r.err.find("flasher-gang: no device could be flashed\n"), std::string::npos) << r.err;
    EXPECT_EQ(json_number(r.account, "transfers"), 0);
}

// ---- a flasher that will not stop ----

// A copy of the gang with a stand-in "flasher" beside it (the gang runs
// the flasher beside itself): the stand-in lists the descriptors it was
// given, then ignores TERM and sleeps; the one at 1-2 closes its pipes
// first, so that only waiting for it can tell that it still runs.
class StubbornFlasher : public GangBreak
{
  protected:
    std::string bin = dir.file("bin");
    std::string copy = bin + "/flasher-gang";

    void SetUp() override
    {
        std::filesystem::create_directory(bin);
        std::filesystem::copy_file(gang, copy);
        const std::string stub = bin + "/flasher";
        write_file(stub, {});
        std::string script = "#!/bin/sh\n"
                             "exec >\"$PWD/fds.$FLASHER_USBPATH\"\n"
                             "ls -l /proc/$$/fd\n"
                             "echo 'start version=1' >&3\n"
                             "[ \"$FLASHER_USBPATH\" = 1-2 ] && exec 1>&- 2>&- 3>&-\n"
                             "trap 'echo >\"$PWD/term.$FLASHER_USBPATH\"' TERM\n"
                             "while :; do sleep 0.1; done\n";
        write_file(stub, bytes(script.begin(), script.end()));
        chmod(stub.c_str(), 0755);
    }

    // INT once both stand-ins run; with `twice`, INT again once both were
    // sent TERM. took.txt: the seconds from the last INT to the gang's end.
    std::vector<std::string> interrupt(bool twice) const
    {
        const std::string again =
            twice ? until("[ -e term.1-1 ] && [ -e term.1-2 ]") + "kill -INT $gang\n" : "";
        return {"/bin/bash", "-c",
                std::string(flashers_here_function) + "\"$@\" & gang=$!\n" +
                    until("grep -qs ' 3 -> ' fds.1-1 && grep -qs ' 3 -> ' fds.1-2") +
                    "kill -INT $gang\n" + again + "start=$SECONDS\n" +
                    "wait $gang; status=$?; echo $((SECONDS - start)) >took.txt\n" +
                    "flashers_here >left.txt; exit $status",
                "stubborn"};
    }
};

// Only stdin, stdout, stderr and the events pipe reach a flasher, though
// the gang holds libusb's descriptors, its records and its logs.
TEST_F(StubbornFlasher, OnlyItsPipesReachIt)
{
    run({"service-us=0", "service-us=0"}, {"--quiet", "image.bin"}, interrupt(true), copy);
    for (const char *path : {"1-1", "1-2"}) {
        SCOPED_TRACE(path);
        // "lr-x------ 1 root root 64 Dec  9 02:21 3 -> pipe:[329155]"; the
        // shell running the stand-in holds its own script open too.
        std::set<std::string> given;
        std::istringstream listing(read_text(dir.file(std::string("fds.") + path)));
        for (std::string line; std::getline(listing, line);) {
            const std::size_t arrow = line.find(" -> ");
            if (arrow == std::string::npos || line.substr(arrow + 4) == bin + "/flasher")
                continue;
            const std::size_t space = line.rfind(' ', arrow - 1);
            given.insert(line.substr(space + 1, arrow - space - 1));
        }
        EXPECT_EQ(given, (std::set<std::string>{"0", "1", "2", "3"}));
    }
}

// One INT: TERM, which it ignores, then KILL after the grace; the gang ends
// and leaves nothing running, the one with closed pipes included (it is
// not taken for ended, nor waited for without end). Two: KILL at once.
TEST_F(StubbornFlasher, AStopEscalatesToKill)
{
    for (const bool twice : {false, true}) {
        SCOPED_TRACE(twice ? "twice" : "once");
        std::filesystem::remove_all(dir.file("logs"));
        for (const char *name : {"record.jsonl", "term.1-1", "term.1-2", "fds.1-1", "fds.1-2"})
            std::remove(dir.file(name).c_str());
        const vdev_result r =
            run({"service-us=0", "service-us=0"}, {"--quiet", "image.bin"}, interrupt(twice), copy);
        EXPECT_EQ(json_number(r.account, "command_status"), 130) << r.err;
        EXPECT_EQ(read_text(dir.file("left.txt")), "");
        for (const json &line : record_lines(dir.file("record.jsonl"))) {
            EXPECT_EQ(line["result"], "interrupted") << line;
            EXPECT_EQ(line["signal"], 9) << line;
        }
        // The second INT does not wait for the 5 s grace.
        if (twice) {
            EXPECT_LT(std::stoi(read_text(dir.file("took.txt"), "99")), 4);
        }
    }
}

} // namespace
