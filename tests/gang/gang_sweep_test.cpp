// The gang's fault sweep: for every transfer position of a small image that
// matters (the erase, both zero bytes, each page's header and its first,
// middle and last chunk, the trailer) and every kind of fault, a board that
// fails there, all beside one clean board in one run of the gang. Each
// board's record line must be ok exactly when the board's own account holds
// the whole image; a zero byte not taken is recorded and decides nothing.
// Time-outs cost real time, but the boards of one run wait side by side.
#include "gang_facts.h"
#include "support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace support;
using namespace gang_facts;

namespace
{

const std::string gang = FLASHER_GANG_BIN;

// The transfers of a two-page image with a trailer, from the message
// sequence: erase, two zero bytes, per page a header and 32 chunks, trailer.
struct position {
    const char *what;
    std::size_t transfer;
    std::size_t length;
};
const position image_positions[] = {
    {"erase", 0, 12},
    {"first zero byte", 1, 1},
    {"second zero byte", 2, 1},
    {"page 0 header", 3, 3},
    {"page 0 first chunk", 4, 64},
    {"page 0 middle chunk", 19, 64},
    {"page 0 last chunk", 35, 64},
    {"page 1 header", 36, 3},
    {"page 1 first chunk", 37, 64},
    {"page 1 middle chunk", 52, 64},
    {"page 1 last chunk", 68, 64},
    {"trailer", 69, 17},
};

class GangSweep : public testing::TestWithParam<fault>
{
  protected:
    scratch_dir dir;
    std::string image = dir.write("image.bin", pattern(11 + 2 * 2048 + 16));
};

// Device k (usb path 1-k) fails at position k - 1; the last one is clean.
TEST_P(GangSweep, EveryBoardIsOkExactlyWhenItTookTheWholeImage)
{
    std::vector<std::string> devices;
    for (const position &p : image_positions)
        devices.push_back(fault_spec(GetParam(), p.transfer, p.length));
    devices.emplace_back("service-us=0");
    const vdev_result r = run_vdev(
        dir, {.options = {"--check-each"},
              .command = {"--quiet", "--logs", "logs", "--record", "record.jsonl", "image.bin"},
              .devices = devices,
              .expect_image = image,
              .program = gang,
              .json = true});
    const json account = json::parse(r.account, nullptr, false);
    ASSERT_FALSE(account.is_discarded()) << r.account << r.err;
    const std::vector<json> lines = record_lines(dir.file("record.jsonl"));
    ASSERT_EQ(lines.size(), devices.size()) << r.err;
    bool all_ok = true;
    for (const json &plug : plug_ins(account)) {
        const std::string path = plug["usb_path"];
        const std::size_t k = std::stoul(path.substr(2));
        SCOPED_TRACE(path + ": " +
                     (k <= std::size(image_positions) ? std::string(image_positions[k - 1].what)
                                                      : std::string("clean")));
        const json line = line_for(lines, path, 0);
        ASSERT_FALSE(line.is_null());
        const bool whole = took_whole_image(plug);
        EXPECT_EQ(line["result"], whole ? "ok" : "failed") << line << plug["check"];
        EXPECT_EQ(line["reason"].is_null(), whole) << line;
        // The zero bytes as the device took them, recorded.
        EXPECT_EQ(line["taken"]["zero_bytes"].get<std::vector<bool>>(), zero_bytes_taken(plug))
            << line;
        all_ok = all_ok && whole;
    }
    EXPECT_FALSE(all_ok);
    EXPECT_EQ(json_number(r.account, "command_status"), 1) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Faults, GangSweep,
                         testing::Values(fault::stall, fault::timeout, fault::short_taken,
                                         fault::gone),
                         [](const testing::TestParamInfo<fault> &p) {
                             return std::string(fault_name(p.param));
                         });

// A parameter upload and an erase: each message that counts, faulty, beside
// a clean board. (Their accounts are checked against the parameter file;
// an erase has no file, so its verdict is read off the erase message.)
struct mode_case {
    const char *what;
    std::vector<std::string> args;
    std::vector<std::string> devices;
    std::vector<std::string> results; // per device, in usb path order
};

TEST(GangModes, ParametersAndEraseAreJudgedByTheirOwnMessages)
{
    scratch_dir dir;
    const std::string params = dir.write("params.bin", pattern(256, 5));
    const mode_case cases[] = {
        {"parameters",
         {"params.bin"},
         {"stall=0", "short=1:255", "gone=1", "service-us=0"},
         {"failed", "failed", "failed", "ok"}},
        {"erase",
         {"erase"},
         {"stall=0", "stall=1", "short=2:0", "service-us=0"},
         {"failed", "ok", "ok", "ok"}},
    };
    for (const mode_case &c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(dir.file("record.jsonl").c_str());
        std::vector<std::string> command{"--quiet", "--logs", "logs", "--record", "record.jsonl"};
        command.insert(command.end(), c.args.begin(), c.args.end());
        const vdev_result r =
            run_vdev(dir, {.options = {"--check-each"},
                           .command = command,
                           .devices = c.devices,
                           .expect_params = c.args[0] == "params.bin" ? params : "",
                           .program = gang,
                           .json = true});
        const json account = json::parse(r.account, nullptr, false);
        ASSERT_FALSE(account.is_discarded()) << r.account;
        const std::vector<json> lines = record_lines(dir.file("record.jsonl"));
        for (std::size_t k = 1; k <= c.devices.size(); ++k) {
            const json line = line_for(lines, "1-" + std::to_string(k), 0);
            ASSERT_FALSE(line.is_null()) << k;
            EXPECT_EQ(line["result"], c.results[k - 1]) << line;
            // The device's side: the first message (erase or announcement)
            // and, for parameters, the block, each taken whole.
            const json &device = account["devices"][k - 1];
            bool whole = true;
            for (const json &m : device["account"]["messages"]) {
                const std::string kind = m.value("kind", "");
                if (kind != "zero_byte" && kind != "pause")
                    whole = whole && m.value("outcome", "") == "completed";
            }
            if (c.args[0] == "params.bin")
                whole = whole && device["check"]["result"] == "intact";
            EXPECT_EQ(c.results[k - 1] == "ok", whole) << device;
        }
    }
}

} // namespace
