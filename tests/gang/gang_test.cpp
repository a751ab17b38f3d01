// flasher-gang against several virtual devices at once. The facts are read
// from each device's own account (what it received) and from the record
// (parsed as JSON); the hash is computed here, apart from the gang's.
#include "support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

using namespace support;
using json = nlohmann::json;

namespace
{

const std::string gang = FLASHER_GANG_BIN;
constexpr std::size_t page = 2048;

std::string sha256_of(const bytes &b)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    EVP_Digest(b.data(), b.size(), digest, &size, EVP_sha256(), nullptr);
    std::string hex;
    char piece[3];
    for (unsigned i = 0; i < size; ++i) {
        std::snprintf(piece, sizeof piece, "%02x", digest[i]);
        hex += piece;
    }
    return hex;
}

// Every line of a record file, parsed; a line that does not parse fails.
std::vector<json> records(const std::string &path)
{
    std::vector<json> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        json parsed = json::parse(line, nullptr, false);
        EXPECT_FALSE(parsed.is_discarded()) << line;
        lines.push_back(parsed);
    }
    return lines;
}

// The text account of device n: its lines up to the next device's.
std::string device_account(const std::string &account, int n)
{
    const std::size_t from = account.find("device " + std::to_string(n) + ":");
    if (from == std::string::npos)
        return "(no device " + std::to_string(n) + ")";
    const std::size_t to = account.find("\ndevice ", from);
    return account.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

bool has(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}

// What a device's account says it took whole, as the wire rules make it:
// for an image of n pages and a trailer, 3 + 33n + 1 transfers.
std::string whole_image(unsigned pages)
{
    return "transfers: " + std::to_string(3 + 33 * pages + 1) +
           ", bytes taken: " + std::to_string(12 + 2 + pages * (3 + page) + 17) + "\n";
}

class Gang : public testing::Test
{
  protected:
    scratch_dir dir;
    bytes img = pattern(11 + 3 * page + 16);
    std::string image = dir.write("image.bin", img);

    // The gang under flasher-vdev. `expect`: checks that every device that
    // received anything received what that file puts on the wire.
    vdev_result run(std::vector<std::string> devices, std::vector<std::string> args,
                    std::vector<std::string> wrapper = {}, const std::string &expect = "",
                    bool params = false) const
    {
        std::vector<std::string> command{"--logs", dir.file("logs"), "--record",
                                         dir.file("record.jsonl")};
        command.insert(command.end(), args.begin(), args.end());
        return run_vdev(dir, {.options = {"--check-each"},
                              .command = command,
                              .devices = std::move(devices),
                              .expect_image = params ? "" : expect,
                              .expect_params = params ? expect : "",
                              .wrapper = std::move(wrapper),
                              .program = gang});
    }
};

// The input is read once: whatever its source, every device gets the same
// bytes, taken as flasher takes them from a file, and the record carries
// their hash.
TEST_F(Gang, EveryDeviceGetsTheSameBytesFromAnySource)
{
    const bytes params = pattern(256, 3);
    dir.write("params.bin", params);
    const auto piped = [](const std::string &file) {
        return std::vector<std::string>{"/bin/sh", "-c", "cat " + file + " | \"$@\"", "pipe"};
    };
    struct source_case {
        const char *what;
        std::vector<std::string> args;
        std::vector<std::string> wrapper;
        const bytes &content;
        const char *file; // what every device must have received
        const char *mode;
    } cases[] = {
        {"an image file", {"image.bin"}, {}, img, "image.bin", "firmware"},
        {"an image through a pipe",
         {"/dev/stdin"},
         piped("image.bin"),
         img,
         "image.bin",
         "firmware"},
        {"a parameter block through a pipe",
         {"/dev/stdin"},
         piped("params.bin"),
         params,
         "params.bin",
         "parameters"},
    };
    for (const source_case &c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(dir.file("record.jsonl").c_str());
        const vdev_result r = run({"service-us=0", "service-us=0"}, c.args, c.wrapper,
                                  dir.file(c.file), c.content.size() == 256);
        EXPECT_EQ(r.status, 0) << r.err << r.account;
        EXPECT_TRUE(has(r.account, "2 plug-ins that received anything, all intact")) << r.account;
        const std::vector<json> lines = records(dir.file("record.jsonl"));
        ASSERT_EQ(lines.size(), 2u);
        for (const json &line : lines) {
            EXPECT_EQ(line["result"], "ok");
            EXPECT_EQ(line["mode"], c.mode);
            EXPECT_EQ(line["image"]["size"], c.content.size());
            EXPECT_EQ(line["image"]["sha256"], sha256_of(c.content));
        }
    }
}

// A device flasher cannot use is listed as not flashed, with the reason,
// and the run fails unless it was told to skip such devices.
TEST_F(Gang, AccountsForEveryDevice)
{
    struct unusable_case {
        const char *what;
        std::vector<std::string> options;
        int status;
    } cases[] = {
        {"counted", {}, 1},
        {"skipped on purpose", {"--skip-unusable"}, 0},
    };
    for (const unusable_case &c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(dir.file("record.jsonl").c_str());
        std::vector<std::string> args = c.options;
        args.push_back("image.bin");
        const vdev_result r = run({"service-us=0", "no-out", "unconfigured", "held=usbfs"}, args);
        EXPECT_EQ(r.status, c.status) << r.err;
        std::map<std::string, std::string> results;
        for (const json &line : records(dir.file("record.jsonl")))
            results[line["usb_path"]] =
                line["result"].get<std::string>() + ": " + line.value("reason", json("")).dump();
        EXPECT_EQ(results,
                  (std::map<std::string, std::string>{
                      {"1-1", "ok: null"},
                      {"1-2", "not flashed: \"interface 0, setting 0, has no OUT endpoint\""},
                      {"1-3", "not flashed: \"its active configuration cannot be read\""},
                      {"1-4", "not flashed: \"busy: interface 0 is held by another program "
                              "(usbfs)\""}}));
        EXPECT_TRUE(has(device_account(r.account, 1), whole_image(3))) << r.account;
    }
}

// The record agrees with what each device received: a device that stalls
// mid-image is failed, with the pages it took whole and flasher's last
// line; the others are ok with
// every page. Its lines name the image's hash and the flasher run.
TEST_F(Gang, RecordAgreesWithEachDevice)
{
    const vdev_result r = run({"service-us=0", "stall=40", "service-us=0"}, {"image.bin"});
    EXPECT_EQ(r.status, 1);
    const std::vector<json> lines = records(dir.file("record.jsonl"));
    ASSERT_EQ(lines.size(), 3u);
    for (const json &line : lines) {
        const std::string path = line["usb_path"];
        const int n = path.back() - '0';
        const bool stalled = path == "1-2";
        SCOPED_TRACE(path);
        EXPECT_EQ(line["serial"], "vdev-" + std::to_string(n));
        EXPECT_EQ(line["result"], stalled ? "failed" : "ok");
        EXPECT_EQ(line["exit_status"], stalled ? 1 : 0);
        EXPECT_EQ(line["taken"]["pages"], stalled ? 1 : 3);
        EXPECT_EQ(line["reason"], stalled ? json("flasher exited 1") : json(nullptr));
        EXPECT_EQ(line["last_line"], stalled ? "error during flashing" : "page: 2");
        EXPECT_EQ(line["plan"]["pages"], 3);
        EXPECT_EQ(line["plan"]["trailer"], true);
        EXPECT_EQ(line["image"]["sha256"], sha256_of(img));
        EXPECT_EQ(line["flasher"]["path"], flasher_bin());
        const std::string account = device_account(r.account, n);
        EXPECT_EQ(has(account, whole_image(3)), !stalled) << account;
    }
    // The summary's re-run line: the very command the gang ran, pinned.
    EXPECT_TRUE(has(r.err, "  FLASHER_USBPATH=1-2 " + flasher_bin() + " ")) << r.err;
}

// Interrupted after the erase, in a log directory an earlier run used: no
// board is called ok, every flasher is gone, and the boards are named
// half-written. Nothing the earlier run left is read as this run's.
TEST_F(Gang, InterruptAfterTheEraseCallsNoBoardOk)
{
    const vdev_result first = run({"service-us=0", "service-us=0"}, {"image.bin"});
    ASSERT_EQ(first.status, 0) << first.err;
    std::remove(dir.file("record.jsonl").c_str());
    // The gang in the background; once both devices of this run are erased,
    // INT; then the flashers still running from this directory are listed.
    const std::string wrapper =
        std::string(flashers_here_function) +
        "before=$(ls logs); \"$@\" & gang=$!\n"
        "until run=$(ls logs | grep -vxF \"$before\") && [ -n \"$run\" ] &&\n"
        "  [ \"$(grep -lx erased logs/$run/*.log 2>/dev/null | wc -l)\" = 2 ]; do sleep 0.05; "
        "done\n"
        "kill -INT $gang; wait $gang; status=$?\n"
        "flashers_here >left.txt\n"
        "exit $status";
    const vdev_result r = run({"service-us=20000", "service-us=20000"}, {"image.bin"},
                              {"/bin/bash", "-c", wrapper, "interrupt"});
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_TRUE(has(r.err, "flasher-gang: interrupted; left half-written: 1-2, 1-1\n")) << r.err;
    EXPECT_EQ(read_text(dir.file("left.txt")), "");
    const std::vector<json> lines = records(dir.file("record.jsonl"));
    ASSERT_EQ(lines.size(), 2u);
    for (const json &line : lines)
        EXPECT_EQ(line["result"], "interrupted") << line;
    for (int n : {1, 2})
        EXPECT_FALSE(has(device_account(r.account, n), whole_image(3))) << r.account;
}

// Interrupted while it waits for its input (a FIFO no one writes to): it
// stops at once, before anything else. (Run outside flasher-vdev: umockdev's
// preload holds signals back while it opens a file.)
TEST_F(Gang, InterruptWhileReadingTheInputStopsAtOnce)
{
    // A gang still there 3 s after the INT is killed: status 99.
    const std::string script =
        "mkfifo fifo; \"$@\" --logs logs fifo & gang=$!; sleep 0.3; kill -INT $gang\n"
        "for i in $(seq 30); do kill -0 $gang 2>/dev/null || break; sleep 0.1; done\n"
        "kill -9 $gang 2>/dev/null && exit 99; wait $gang";
    const vdev_result r = run_command(dir, {"/bin/bash", "-c", script, "interrupt", gang});
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_TRUE(has(r.err, "flasher-gang: interrupted while reading fifo; no device was touched"))
        << r.err;
}

// Two gangs at once on the same devices: the second, started while the
// first one's flashers hold the boards, finds them busy and flashes none;
// every board gets exactly one whole image.
TEST_F(Gang, SecondGangOnTheSameBoardsFindsThemBusy)
{
    const std::string wrapper =
        "\"$@\" --quiet --logs first image.bin >first.out 2>&1 & first=$!\n"
        "until [ \"$(grep -lx erased first/*/*.log 2>/dev/null | wc -l)\" = 2 ]; do sleep 0.02; "
        "done\n"
        "\"$@\" --quiet --logs second image.bin >second.out 2>&1; echo $? >second.status\n"
        "wait $first";
    const vdev_result r = run_vdev(dir, {.options = {"--check-each"},
                                         .devices = {"service-us=5000", "service-us=5000"},
                                         .expect_image = image,
                                         .wrapper = {"/bin/bash", "-c", wrapper, "two"},
                                         .program = gang});
    EXPECT_EQ(r.status, 0) << read_text(dir.file("first.out")) << r.account;
    EXPECT_TRUE(has(r.account, "2 plug-ins that received anything, all intact")) << r.account;
    EXPECT_EQ(read_text(dir.file("second.status")), "1\n");
    // Its table: both boards, each not flashed because the first holds it.
    const std::string second = read_text(dir.file("second.out"));
    std::size_t busy = 0;
    const std::string line = "not flashed        -  busy: interface 0 is held by another program "
                             "(usbfs)\n";
    for (std::size_t at = second.find(line); at != std::string::npos;
         at = second.find(line, at + 1))
        ++busy;
    EXPECT_EQ(busy, 2u) << second;
}

// Two gangs appending to one record at once: every line is whole.
TEST_F(Gang, GangsSharingARecordInterleaveNoLine)
{
    const std::vector<std::string> devices(4, "service-us=0");
    std::vector<std::string> one{"/bin/sh", "-c", "\"$@\" >/dev/null"};
    std::vector<std::string> vdev_args{vdev_bin(), "--fast-pauses", "--account", "/dev/null"};
    for (const std::string &d : devices)
        vdev_args.insert(vdev_args.end(), {"--device", d});
    vdev_args.insert(vdev_args.end(), {"--", gang, "--quiet", "--logs", dir.file("logs"),
                                       "--record", dir.file("record.jsonl"), "image.bin"});
    std::string twice = "\"$@\" & \"$@\" & wait";
    std::vector<std::string> command{"/bin/sh", "-c", twice, "two"};
    command.insert(command.end(), vdev_args.begin(), vdev_args.end());
    const vdev_result r = run_command(dir, command);
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::string, int> per_run;
    for (const json &line : records(dir.file("record.jsonl")))
        per_run[line["run"]] += line["result"] == "ok" ? 1 : 0;
    EXPECT_EQ(per_run.size(), 2u);
    for (const auto &[run_id, ok] : per_run)
        EXPECT_EQ(ok, 4) << run_id;
}

// What the gang refuses before it touches any device.
TEST_F(Gang, RefusesBeforeTouchingAnyDevice)
{
    dir.write("short.bin", pattern(11 + 100));
    struct refusal {
        const char *what;
        std::vector<std::string> args;
        std::vector<std::string> devices;
        std::string err_first_line;
        int status;
    } cases[] = {
        {"a serial", {"image.bin", "SN01"}, {"service-us=0"}, "flasher-gang: only \"all\" may", 2},
        {"no input", {}, {"service-us=0"}, "flasher-gang: no input given\n", 2},
        {"a missing file",
         {"missing.bin"},
         {"service-us=0"},
         "flasher-gang: cannot read missing.bin: No such file or directory\n",
         1},
        {"an image with no whole page",
         {"short.bin"},
         {"service-us=0"},
         "flasher-gang: flasher "
         "would only erase each device",
         1},
        {"no device attached", {"erase"}, {"pid=000B"}, "flasher-gang: no device with ", 1},
    };
    for (const refusal &c : cases) {
        SCOPED_TRACE(c.what);
        const vdev_result r = run(c.devices, c.args);
        EXPECT_EQ(r.err.substr(0, c.err_first_line.size()), c.err_first_line) << r.err;
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(has(r.account, "  no transfers\n")) << r.account;
        EXPECT_FALSE(has(r.account, "transfers: ")) << r.account;
    }
}

} // namespace
