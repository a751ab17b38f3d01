// The record's rules end to end: flasher-gang under flasher-vdev, judged by
// each device's own account of what it received and by the record read
// back as JSON. --sha256 refuses any other input before a device is
// touched; an old ok line does not skip a board failed or erased since; a
// shared serial never skips; a cut line is ended before the next; and a
// station whose record cannot be written flashes no board until it can.
#include "support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <vector>

using namespace support;
using json = nlohmann::json;

namespace
{

const std::string gang = FLASHER_GANG_BIN;

bool has(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}

std::vector<json> records(const std::string &path)
{
    std::vector<json> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(json::parse(line, nullptr, false));
    return lines;
}

constexpr char nothing_received[] = "  no transfers\n";

class RecordRules : public testing::Test
{
  protected:
    scratch_dir dir;
    std::string image = dir.write("image.bin", pattern(11 + 3 * 2048 + 16));

    // The gang's hash is checked against coreutils' own.
    std::string sha256_of_image() const
    {
        const vdev_result r = run_command(dir, {"/bin/sh", "-c", "sha256sum image.bin"});
        return r.out.substr(0, 64);
    }

    // The gang under flasher-vdev with the record `record`. `check`: every
    // device that received anything is checked against the image (a run
    // in which none does fails the check).
    vdev_result gang_run(std::vector<std::string> devices, const std::vector<std::string> &args,
                         bool check, std::vector<std::string> wrapper = {},
                         const std::string &record = "record.jsonl") const
    {
        std::vector<std::string> command{"--logs", "logs", "--record", record};
        command.insert(command.end(), args.begin(), args.end());
        return run_vdev(dir, {.options = {"--check-each"},
                              .command = command,
                              .devices = std::move(devices),
                              .expect_image = check ? image : "",
                              .wrapper = std::move(wrapper),
                              .program = gang});
    }
};

// --sha256: a different or cut input is refused before any device is
// touched, and the refused run leaves no run directory; the right bytes,
// through a pipe as "-", are flashed.
TEST_F(RecordRules, Sha256RefusesAnyOtherInputBeforeTouchingADevice)
{
    const std::string sha = sha256_of_image();
    ASSERT_EQ(sha.size(), 64u);
    const std::string other(64, '0');
    const auto piped = [](const std::string &source) {
        return std::vector<std::string>{"/bin/sh", "-c", source + " | \"$@\"", "pipe"};
    };
    struct sha_case {
        const char *what;
        std::vector<std::string> args;
        std::vector<std::string> wrapper;
        int status;
        std::string err; // the start of standard error
    } cases[] = {
        {"another hash for a file",
         {"--sha256", other, "image.bin"},
         {},
         1,
         "flasher-gang: the SHA-256 of image.bin (6171 bytes) is " + sha + ", not " + other},
        {"a download cut short, piped in",
         {"--sha256", sha, "-"},
         piped("(head -c 4107 image.bin; exit 22)"),
         1,
         "flasher-gang: the SHA-256 of standard input (4107 bytes) is "},
        {"the whole download, piped in", {"--sha256", sha, "-"}, piped("cat image.bin"), 0, ""},
    };
    for (const sha_case &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(dir.file("logs"));
        std::remove(dir.file("record.jsonl").c_str());
        const vdev_result r = gang_run({"service-us=0"}, c.args, c.status == 0, c.wrapper);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
        const bool flashed = c.status == 0;
        EXPECT_EQ(has(r.account, nothing_received), !flashed) << r.account;
        EXPECT_EQ(has(r.account, "1 plug-in that received anything, all intact"), flashed)
            << r.account;
        std::error_code ec;
        EXPECT_EQ(std::filesystem::is_empty(dir.file("logs"), ec) || ec, !flashed);
        const std::vector<json> lines = records(dir.file("record.jsonl"));
        ASSERT_EQ(lines.size(), flashed ? 1u : 0u);
        if (flashed) {
            EXPECT_EQ(lines[0]["image"]["given"], "-");
            EXPECT_EQ(lines[0]["image"]["sha256"], sha);
        }
    }
}

// Found: a board flashed ok, then failed (stalled), then erased, was
// skipped as done by the ok line. The latest line decides: it is flashed.
TEST_F(RecordRules, AnOkLineFailedAndErasedSinceDoesNotSkip)
{
    struct step {
        const char *what;
        const char *device;
        std::vector<std::string> args;
        int status;
    } steps[] = {
        {"flashed ok", "serial=A", {"image.bin"}, 0},
        {"flashed again, stalled", "serial=A,stall=40", {"image.bin"}, 1},
        {"erased", "serial=A", {"erase"}, 0},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(s.what);
        EXPECT_EQ(gang_run({s.device}, s.args, false).status, s.status);
    }
    const vdev_result r = gang_run({"serial=A"}, {"--skip-done", "image.bin"}, true);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.account, "1 plug-in that received anything, all intact")) << r.account;
    EXPECT_TRUE(has(r.err, "flasher-gang: 1-1: not skipped: its latest line (run ")) << r.err;
    const std::vector<json> lines = records(dir.file("record.jsonl"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1]["result"], "failed");
    EXPECT_EQ(lines[2]["mode"], "erase");
    EXPECT_EQ(lines[3]["result"], "ok");
    EXPECT_EQ(lines[3]["done_lookup"], "record");
}

// Found: two boards with one serial flashed ok; then three attached with
// that serial were all skipped, the third never flashed. A shared serial
// never skips, and the record says it was not looked up.
TEST_F(RecordRules, ASharedSerialIsNeverSkipped)
{
    ASSERT_EQ(gang_run({"serial=SAME", "serial=SAME"}, {"image.bin"}, true).status, 0);
    const vdev_result r =
        gang_run({"serial=SAME", "serial=SAME", "serial=SAME"}, {"--skip-done", "image.bin"}, true);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.account, "3 plug-ins that received anything, all intact")) << r.account;
    const std::vector<json> lines = records(dir.file("record.jsonl"));
    ASSERT_EQ(lines.size(), 5u);
    for (std::size_t i = 2; i < 5; ++i) {
        EXPECT_EQ(lines[i]["result"], "ok") << lines[i];
        EXPECT_EQ(lines[i]["done_lookup"], "not looked up: the serial is shared") << lines[i];
    }
}

// Found: a line cut short (a full disk, a crash) swallowed the next one.
// The next gang ends it first; its own line is whole, a later --skip-done
// names the cut line and still finds the board done.
TEST_F(RecordRules, ACutLineIsEndedBeforeTheNextLine)
{
    const std::string cut = R"({"schema":2,"run":"20261208T150102.345Z-4242","sta)";
    dir.write("record.jsonl", bytes(cut.begin(), cut.end()));
    ASSERT_EQ(gang_run({"serial=A"}, {"image.bin"}, true).status, 0);
    std::ifstream in(dir.file("record.jsonl"));
    std::string first, second;
    std::getline(in, first);
    std::getline(in, second);
    EXPECT_EQ(first, cut);
    EXPECT_EQ(json::parse(second, nullptr, false).value("result", ""), "ok") << second;

    const vdev_result r = gang_run({"serial=A"}, {"--skip-done", "image.bin"}, false);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.account, nothing_received)) << r.account;
    EXPECT_TRUE(has(r.err, "flasher-gang: record.jsonl line 1 cannot be read: not JSON (a line "
                           "cut short?); it is ignored\n"))
        << r.err;
}

// Found: a station whose record was on a full filesystem showed every
// board ok while nothing reached the record. No record, no flash: the
// failure is said at once, the next board is not flashed, and once there
// is room the waiting lines are written, in order, and boards are flashed.
TEST_F(RecordRules, AStationFlashesNothingWhileItsRecordCannotBeWritten)
{
    const std::string small = dir.file("small");
    mkdir(small.c_str(), 0755);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs (it needs root): " << std::strerror(errno);
    struct unmount {
        std::string path;
        ~unmount()
        {
            umount2(path.c_str(), MNT_DETACH);
        }
    } const unmount_after{small};
    dir.write("small/record.jsonl", {});
    dir.write("small/filler", bytes(std::size_t{4} * 4096, 'f'));
    // Once board B was not flashed, room is made; its next plug-in is 3 s
    // later. Then, with three lines on record, the station is stopped.
    const std::string wrapper =
        std::string(flashers_here_function) +
        "\"$@\" >out.txt 2>err.txt & gang=$!\n"
        "for ((i = 0; i < 600; i++)); do grep -q '^1-2 B: not flashed' out.txt && break; "
        "sleep 0.05; done\n"
        "rm small/filler\n"
        "for ((i = 0; i < 600; i++)); do [ \"$(wc -l <small/record.jsonl)\" -ge 3 ] && break; "
        "sleep 0.05; done\n"
        "kill -TERM $gang; wait $gang\n"
        "flashers_here >left.txt\n";
    const vdev_result r =
        gang_run({"serial=A", "serial=B,arrive=1,leave=1.5,arrive=4.5"}, {"--watch", "image.bin"},
                 true, {"/bin/bash", "-c", wrapper, "station"}, "small/record.jsonl");
    const std::string err = read_text(dir.file("err.txt"));
    EXPECT_TRUE(has(err, "flasher-gang: cannot write the record small/record.jsonl: No space left "
                         "on device; the line is kept and written when it can be\n"))
        << err;
    EXPECT_EQ(read_text(dir.file("left.txt")), "");
    // A and B's second plug-in got the whole image; B's first got nothing.
    EXPECT_TRUE(has(r.account, "2 plug-ins that received anything, all intact")) << r.account;
    struct expected_line {
        const char *usb_path;
        int plug_in;
        const char *result;
    } expected[] = {{"1-1", 1, "ok"}, {"1-2", 1, "not flashed"}, {"1-2", 2, "ok"}};
    const std::vector<json> lines = records(dir.file("small/record.jsonl"));
    ASSERT_EQ(lines.size(), 3u) << read_text(dir.file("out.txt"));
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(lines[i]["usb_path"], expected[i].usb_path);
        EXPECT_EQ(lines[i]["plug_in"], expected[i].plug_in);
        EXPECT_EQ(lines[i]["result"], expected[i].result);
    }
    EXPECT_EQ(lines[1]["reason"], "cannot write the record small/record.jsonl: No space left on "
                                  "device; no board is flashed until it can be");
}

} // namespace
