// The gadget's descriptor blobs, byte for byte as FunctionFS and the USB and
// Microsoft OS descriptor formats lay them out, its command line, and its
// account of each plug-in.
#include "descriptors.h"
#include "options.h"
#include "report.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

// Written out by hand from the formats, not from the builder.
const std::vector<unsigned char> expected_descriptors = {
    0x03, 0x00, 0x00, 0x00, // magic: descriptors, version 2
    0x69, 0x00, 0x00, 0x00, // length 105
    0x0B, 0x00, 0x00, 0x00, // flags: full speed | high speed | MS OS
    0x03, 0x00, 0x00, 0x00, // full-speed count
    0x03, 0x00, 0x00, 0x00, // high-speed count
    0x01, 0x00, 0x00, 0x00, // OS descriptor count
    // full speed: interface 0, 2 endpoints, vendor class, string 1
    0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x01, 0x07, 0x05, 0x01, 0x02, 0x40, 0x00,
    0x00,                                     // bulk OUT 1, 64 bytes
    0x07, 0x05, 0x82, 0x02, 0x40, 0x00, 0x00, // bulk IN 2, 64 bytes
    // high speed
    0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x01, 0x07, 0x05, 0x01, 0x02, 0x00, 0x02,
    0x00,                                     // bulk OUT 1, 512 bytes
    0x07, 0x05, 0x82, 0x02, 0x00, 0x02, 0x00, // bulk IN 2, 512 bytes
    // OS descriptor header: interface 0, dwLength 35, version (0x0001, the
    // form every kernel takes), index 4, one section, reserved
    0x00, 0x23, 0x00, 0x00, 0x00, 0x01, 0x00, 0x04, 0x00, 0x01, 0x00,
    // extended compat ID section: interface 0, reserved (0: the kernel puts
    // the 1 on the wire), "WINUSB", no sub-compatible ID, 6 reserved bytes
    0x00, 0x00, 'W', 'I', 'N', 'U', 'S', 'B', 0x00, 0x00, //
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,       //
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

TEST(GadgetDescriptors, WithOsDescriptorsByteForByte)
{
    std::array<unsigned char, 128> out{};
    const std::size_t n = build_ffs_descriptors(out, true);
    ASSERT_EQ(n, expected_descriptors.size());
    EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.begin() + n), expected_descriptors);
}

TEST(GadgetDescriptors, WithoutOsDescriptorsDropsFlagCountAndSection)
{
    std::vector<unsigned char> want = expected_descriptors;
    want.resize(want.size() - 35);                    // the OS section
    want.erase(want.begin() + 20, want.begin() + 24); // its count
    want[4] = 0x42;                                   // length 66
    want[8] = 0x03;                                   // full speed | high speed
    std::array<unsigned char, 128> out{};
    const std::size_t n = build_ffs_descriptors(out, false);
    ASSERT_EQ(n, want.size());
    EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.begin() + n), want);
}

TEST(GadgetDescriptors, Strings)
{
    const std::vector<unsigned char> want = {0x02, 0x00, 0x00, 0x00, // magic: strings
                                             0x18, 0x00, 0x00, 0x00, // length 24
                                             0x01, 0x00, 0x00, 0x00, // one string
                                             0x01, 0x00, 0x00, 0x00, // one language
                                             0x09, 0x04,             // en-US
                                             'f',  'l',  'a',  's',  'h', 0x00};
    std::array<unsigned char, 64> out{};
    const std::size_t n = build_ffs_strings(out, "flash");
    ASSERT_EQ(n, want.size());
    EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.begin() + n), want);
}

TEST(GadgetDescriptors, StringsRefuseASmallBuffer)
{
    std::array<unsigned char, 23> out{}; // one byte short
    EXPECT_EQ(build_ffs_strings(out, "flash"), 0u);
}

// Runs the parser on a command line given as words after the program name.
int parse(const std::vector<const char *> &words, gadget_options &opts)
{
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>("flasher-gadget"));
    for (const char *w : words)
        argv.push_back(const_cast<char *>(w));
    return parse_gadget_options(static_cast<int>(argv.size()), argv.data(), opts);
}

TEST(GadgetOptions, DefaultsStay)
{
    gadget_options opts;
    opts.vid = 0x1209;
    opts.pid = 0x000A;
    ASSERT_EQ(parse({}, opts), 0);
    EXPECT_EQ(opts.vid, 0x1209);
    EXPECT_EQ(opts.pid, 0x000A);
    EXPECT_STREQ(opts.serial, "FLASHER0001");
    EXPECT_STREQ(opts.name, "flasher");
    EXPECT_EQ(opts.udc, nullptr);
    EXPECT_TRUE(opts.os_desc);
    EXPECT_FALSE(opts.json);
    EXPECT_EQ(opts.pause_at, no_fault);
    EXPECT_EQ(opts.stall_at, no_fault);
    EXPECT_EQ(opts.vanish_at, no_fault);
}

TEST(GadgetOptions, EveryOption)
{
    gadget_options opts;
    ASSERT_EQ(parse({"--vid",        "abcd",       "--pid",       "0x0102",     "--serial",
                     "SN-1",         "--name",     "g_1",         "--udc",      "dummy_udc.1",
                     "--ffs-dir",    "/tmp/f",     "--expect",    "x.bin",      "--json",
                     "--no-os-desc", "--pause-at", "9",           "--pause-ms", "1500",
                     "--stall-at",   "0",          "--vanish-at", "40"},
                    opts),
              0);
    EXPECT_EQ(opts.vid, 0xABCD);
    EXPECT_EQ(opts.pid, 0x0102);
    EXPECT_STREQ(opts.serial, "SN-1");
    EXPECT_STREQ(opts.name, "g_1");
    EXPECT_STREQ(opts.udc, "dummy_udc.1");
    EXPECT_STREQ(opts.ffs_dir, "/tmp/f");
    EXPECT_STREQ(opts.expect, "x.bin");
    EXPECT_TRUE(opts.json);
    EXPECT_FALSE(opts.os_desc);
    EXPECT_EQ(opts.pause_at, 9u);
    EXPECT_EQ(opts.pause_ms, 1500u);
    EXPECT_EQ(opts.stall_at, 0u);
    EXPECT_EQ(opts.vanish_at, 40u);
}

struct bad_line {
    std::vector<const char *> words;
    const char *why;
};

class GadgetOptionsRefused : public ::testing::TestWithParam<bad_line>
{
};

TEST_P(GadgetOptionsRefused, WithStatusOne)
{
    gadget_options opts;
    EXPECT_EQ(parse(GetParam().words, opts), 1) << GetParam().why;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, GadgetOptionsRefused,
    ::testing::Values(bad_line{{"--vid"}, "value missing"},
                      bad_line{{"--bogus", "1"}, "unknown option"},
                      bad_line{{"--vid", "0"}, "vendor ID 0 ends a device table"},
                      bad_line{{"--vid", "10000"}, "more than 16 bits"},
                      bad_line{{"--pid", "12g4"}, "not hex"}, bad_line{{"--pid", "-1"}, "negative"},
                      bad_line{{"--name", "a/b"}, "a slash would leave configfs"},
                      bad_line{{"--name", ""}, "empty name"},
                      bad_line{{"--pause-at", "3"}, "pause without its length"},
                      bad_line{{"--pause-ms", "3"}, "length without a pause"},
                      bad_line{{"--pause-at", "1", "--pause-ms", "600001"}, "pause too long"},
                      bad_line{{"--stall-at", "x"}, "not a count"},
                      bad_line{{"--vanish-at", ""}, "empty count"}));

TEST(GadgetOptions, HelpIsNotAnError)
{
    gadget_options opts;
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse({"--help"}, opts), 2);
    const std::string text = testing::internal::GetCapturedStdout();
    EXPECT_NE(text.find("Usage: flasher-gadget"), std::string::npos);
}

// What one plug-in received of a 256-byte parameter file, written from the
// wire format: the announcement E8, then the block as it stands.
enum class received { parameters, announcement_only, nothing };

account::recording plug_in(received what, const std::vector<unsigned char> &block)
{
    account::recording rec;
    const std::vector<unsigned char> announce = {0xE8};
    if (what != received::nothing)
        account::record_transfer(rec, announce, 1, account::outcome::completed);
    if (what == received::parameters)
        account::record_transfer(rec, block, block.size(), account::outcome::completed);
    return rec;
}

struct plug_in_case {
    std::vector<received> plug_ins;
    bool expect;
    bool json;
    int status;
    std::size_t headers;         // "plug-in N:" lines
    std::size_t intact_lines;    // "received what FILE puts on the wire" lines
    std::size_t unindented_rest; // other lines that start at the margin
};

class GadgetReport : public ::testing::TestWithParam<plug_in_case>
{
};

TEST_P(GadgetReport, EachPlugInApart)
{
    const plug_in_case &c = GetParam();
    std::vector<unsigned char> block(256);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<unsigned char>(i * 7 + 3);
    // CTest runs each case as a process of its own, several at once.
    const std::string file =
        testing::TempDir() + "gadget_report_params_" + std::to_string(getpid()) + ".bin";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char *>(block.data()), static_cast<std::streamsize>(256));
    std::vector<account::recording> plug_ins;
    for (const received r : c.plug_ins)
        plug_ins.push_back(plug_in(r, block));

    std::FILE *out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(report_plug_ins(plug_ins, c.expect ? file.c_str() : nullptr, c.json, out), c.status);
    std::rewind(out);
    std::string text;
    for (int ch; (ch = std::fgetc(out)) != EOF;)
        text += static_cast<char>(ch);
    std::fclose(out);
    std::remove(file.c_str());

    const std::string intact = "received what " + file + " puts on the wire: parameter block";
    const std::string indent = c.plug_ins.size() > 1 ? "  " : "";
    std::size_t headers = 0, intact_lines = 0, unindented_rest = 0, next_header = 1;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("plug-in ", 0) == 0) {
            EXPECT_EQ(line, "plug-in " + std::to_string(next_header++) + ":");
            ++headers;
        } else if (line == indent + intact) {
            ++intact_lines;
        } else if (line[0] != ' ' && line[0] != '{') {
            ++unindented_rest;
        }
    }
    EXPECT_EQ(headers, c.headers) << text;
    EXPECT_EQ(intact_lines, c.intact_lines) << text;
    EXPECT_EQ(unindented_rest, c.unindented_rest) << text;
}

INSTANTIATE_TEST_SUITE_P(
    PlugIns, GadgetReport,
    ::testing::Values(
        // Plugged in once: the account as it always was, at the margin.
        plug_in_case{{received::parameters}, true, false, 0, 0, 1, 4},
        plug_in_case{{received::nothing}, true, false, 1, 0, 0, 4},
        // Re-plugged: each plug-in under its own line, and each checked.
        plug_in_case{{received::parameters, received::parameters}, true, false, 0, 2, 2, 0},
        plug_in_case{{received::parameters, received::nothing}, true, false, 1, 2, 1, 0},
        plug_in_case{{received::announcement_only, received::parameters}, true, false, 1, 2, 1, 0},
        plug_in_case{{received::parameters, received::nothing, received::parameters},
                     true,
                     false,
                     1,
                     3,
                     2,
                     0},
        // Without a file nothing is judged.
        plug_in_case{{received::nothing, received::nothing}, false, false, 0, 2, 0, 0},
        // JSON: an object per plug-in, each under its line.
        plug_in_case{{received::parameters, received::parameters}, true, true, 0, 2, 2, 0}));

} // namespace
