// The front end over a recording fake transport: the exact writes, pauses,
// lines and exit status of every mode and failure.
#include "fake_transport.h"
#include "frontend/run_request.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using bytes = std::vector<unsigned char>;

namespace
{

using support::page_lines;
using support::pattern;

class Frontend : public fake_test
{
  protected:
    static support::captured run(const std::vector<std::string> &args)
    {
        return support::run_main(args);
    }
    std::string file(const std::string &name, const bytes &content) const
    {
        return dir.write(name, content);
    }
};

using expected_write = support::wire_write;

std::vector<expected_write> firmware_wire(const bytes &file, bool all)
{
    return support::image_wire(file, file, all);
}

void expect_writes(const std::vector<expected_write> &expected)
{
    const auto got = writes_of(fake.events);
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i].bytes, expected[i].data) << "write " << i;
        ASSERT_EQ(got[i].timeout_ms, expected[i].timeout) << "write " << i;
    }
}

const char usage[] = "Usage: flasher signed_firmware.bin | params [all] [serial]\n"
                     "Usage: flasher erase [all] [serial]\n";

TEST_F(Frontend, NoArgumentsPrintsBothUsageLines)
{
    const auto r = run({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, usage);
    EXPECT_TRUE(fake.events.empty());
}

TEST_F(Frontend, EmptyArgumentVectorDoesNotCrash)
{
    char *argv[] = {nullptr};
    testing::internal::CaptureStderr();
    const int status = flasher_main(0, argv);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), usage);
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(fake.events.empty());
}

TEST_F(Frontend, HugeArgumentsAreHandled)
{
    const std::string huge(100000, 'S');
    const auto r = run({"erase", "all", huge, huge});
    EXPECT_EQ(r.status, 0);
    ASSERT_FALSE(fake.events.empty());
    EXPECT_EQ(fake.events[0].serial, huge);
    const std::string name(5000, 'f');
    const auto missing = run({name});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "cannot open firmware " + name + "\n");
}

TEST_F(Frontend, InputThatCannotBeReadTouchesNoUsb)
{
    struct {
        std::string arg;
    } cases[] = {{dir.file("missing.bin")}, {dir.path()}, {"ERASE"}, {"Erase"}};
    for (const auto &c : cases) {
        reset_fake();
        const auto r = run({c.arg, "all", "SN"});
        EXPECT_EQ(r.status, 1) << c.arg;
        EXPECT_EQ(r.err, "cannot open firmware " + c.arg + "\n");
        EXPECT_TRUE(fake.events.empty()) << c.arg;
    }
}

TEST_F(Frontend, EraseOnlySequence)
{
    struct {
        std::vector<std::string> args;
        unsigned char code;
        std::optional<std::string> serial;
    } cases[] = {
        {{"erase"}, 0xE1, std::nullopt},          {{"erase", "all"}, 0xE2, std::nullopt},
        {{"erase", "all", "SN01"}, 0xE2, "SN01"}, {{"erase", "SN01", "all"}, 0xE1, "SN01"},
        {{"erase", "ALL"}, 0xE1, "ALL"},          {{"erase", ""}, 0xE1, ""},
    };
    for (const auto &c : cases) {
        reset_fake();
        const auto r = run(c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "continuing with flashing\nerased\n");
        EXPECT_EQ(r.out, "");
        bytes erase(12, 0);
        erase[0] = c.code;
        // open, erase, 4 s pause, two zero bytes: in that order.
        ASSERT_EQ(fake.events.size(), 5u);
        EXPECT_EQ(fake.events[0].what, fake_event::kind::open);
        EXPECT_EQ(fake.events[0].serial, c.serial);
        EXPECT_EQ(fake.events[0].usb_path, std::nullopt);
        EXPECT_EQ(fake.events[1].bytes, erase);
        EXPECT_EQ(fake.events[1].timeout_ms, 5000u);
        EXPECT_EQ(fake.events[2].what, fake_event::kind::pause);
        EXPECT_EQ(fake.events[2].seconds, 4u);
        EXPECT_EQ(fake.events[3].bytes, bytes{0x00});
        EXPECT_EQ(fake.events[3].timeout_ms, 10000u);
        EXPECT_EQ(fake.events[4].bytes, bytes{0x00});
        EXPECT_EQ(fake.events[4].timeout_ms, 10000u);
    }
}

TEST_F(Frontend, FirmwareImagesOfEverySizeRule)
{
    const std::size_t P = 2048;
    struct {
        const char *what;
        std::size_t size;
        unsigned pages;
    } cases[] = {
        {"empty file", 0, 0},
        {"shorter than a header", 5, 0},
        {"header only", 11, 0},
        {"header and trailer", 11 + 16, 0},
        {"one byte short of a parameter file", 255, 0},
        {"one byte over a parameter file", 257, 0},
        {"one page", 11 + P, 1},
        {"one page and a trailer", 11 + P + 16, 1},
        {"one page and a 20-byte tail", 11 + P + 20, 1},
        {"one page and a 15-byte tail", 11 + P + 15, 1},
        {"three pages and a trailer", 11 + 3 * P + 16, 3},
        {"239 pages and a trailer", 11 + 239 * P + 16, 239},
        {"240 pages", 11 + 240 * P, 240},
        {"240 pages and a trailer", 11 + 240 * P + 16, 240},
        {"241 pages", 11 + 241 * P, 240},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        reset_fake();
        const bytes content = pattern(c.size);
        const auto r = run({file("image.bin", content)});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "continuing with flashing\nerased\n" + page_lines(c.pages));
        expect_writes(firmware_wire(content, false));
        EXPECT_EQ(pauses_of(fake.events), std::vector<unsigned>{4});
    }
}

TEST_F(Frontend, PageNumbersAreBigEndian)
{
    const bytes content = pattern(11 + 240 * 2048);
    run({file("image.bin", content), "all"});
    const auto w = writes_of(fake.events);
    // erase, two zero bytes, then 33 writes per page.
    const auto header_of = [&](unsigned page) { return w.at(3 + 33 * page).bytes; };
    EXPECT_EQ(header_of(0), (bytes{0xE4, 0x00, 0x00}));
    EXPECT_EQ(header_of(1), (bytes{0xE4, 0x00, 0x01}));
    EXPECT_EQ(header_of(239), (bytes{0xE4, 0x00, 0xEF}));
    EXPECT_EQ(w.size(), 3u + 33u * 240u);
}

TEST_F(Frontend, ArgumentFormsForImages)
{
    const bytes content = pattern(11 + 2048 + 16);
    const std::string img = file("image.bin", content);
    struct {
        std::vector<std::string> args;
        bool all;
        std::optional<std::string> serial;
    } cases[] = {
        {{img}, false, std::nullopt},
        {{img, "all"}, true, std::nullopt},
        {{img, "all", "SN01"}, true, "SN01"},
        {{img, "SN01"}, false, "SN01"},
        {{img, "SN01", "all"}, false, "SN01"},
        {{img, "ALL"}, false, "ALL"},
        {{img, "all", "SN01", "extra", "more"}, true, "SN01"},
    };
    for (const auto &c : cases) {
        reset_fake();
        const auto r = run(c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(fake.events.at(0).serial, c.serial);
        expect_writes(firmware_wire(content, c.all));
    }
}

TEST_F(Frontend, FirmwareFailuresStopTheWire)
{
    // Two pages and a trailer: writes are erase 0, zeros 1-2, page 0 at 3
    // (header) and 4-35 (chunks), page 1 at 36 and 37-68, trailer 69.
    const bytes content = pattern(11 + 2 * 2048 + 16);
    const std::string ok_pages_0 = "continuing with flashing\nerased\n";
    struct {
        const char *what;
        std::size_t index;
        int result;
        int status;
        std::string err;
        std::size_t writes;
    } cases[] = {
        {"erase times out", 0, 0, 1, ok_pages_0 + "erase error\n", 1},
        {"erase fails", 0, -1, 1, ok_pages_0 + "erase error\n", 1},
        {"erase is short", 0, 11, 1, ok_pages_0 + "erase error\n", 1},
        {"first zero byte fails", 1, -1, 0, ok_pages_0 + page_lines(2), 70},
        {"second zero byte times out", 2, 0, 0, ok_pages_0 + page_lines(2), 70},
        {"page 0 header fails", 3, -1, 1, ok_pages_0 + "error during flashing\n", 4},
        {"page 0 header is short", 3, 2, 1, ok_pages_0 + "error during flashing\n", 4},
        {"page 0 chunk 0 times out", 4, 0, 1, ok_pages_0 + "error during flashing\n", 5},
        {"page 0 chunk 5 is short", 9, 63, 1, ok_pages_0 + "error during flashing\n", 10},
        {"page 0 last chunk fails", 35, -1, 1, ok_pages_0 + "error during flashing\n", 36},
        {"page 1 header fails", 36, 0, 1, ok_pages_0 + page_lines(1) + "error during flashing\n",
         37},
        {"page 1 last chunk fails", 68, -1, 1,
         ok_pages_0 + page_lines(1) + "error during flashing\n", 69},
        {"trailer fails", 69, -1, 0, ok_pages_0 + page_lines(2), 70},
        {"trailer times out", 69, 0, 0, ok_pages_0 + page_lines(2), 70},
    };
    const auto full = firmware_wire(content, false);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        reset_fake();
        fake.write_results[c.index] = c.result;
        const auto r = run({file("image.bin", content)});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        expect_writes(
            std::vector<expected_write>(full.begin(), full.begin() + static_cast<long>(c.writes)));
        // A failed erase is not followed by the settle pause.
        EXPECT_EQ(pauses_of(fake.events).size(), c.index == 0 ? 0u : 1u);
    }
}

TEST_F(Frontend, ParameterUpload)
{
    const bytes block = pattern(256, 3);
    const std::string params = file("params.bin", block);
    for (const auto &args : std::vector<std::vector<std::string>>{
             {params}, {params, "all"}, {params, "all", "SN01"}, {params, "SN01"}}) {
        reset_fake();
        const auto r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        expect_writes({{{0xE8}, 1000}, {block, 1000}});
        EXPECT_TRUE(pauses_of(fake.events).empty());
    }
}

TEST_F(Frontend, ParameterFileOfZerosIsParameters)
{
    const bytes zeros(256, 0);
    const auto r = run({file("zeros.bin", zeros)});
    EXPECT_EQ(r.status, 0);
    expect_writes({{{0xE8}, 1000}, {zeros, 1000}});
}

TEST_F(Frontend, ParameterFailures)
{
    const bytes block = pattern(256, 5);
    struct {
        const char *what;
        std::size_t index;
        int result;
        std::string err;
        std::size_t writes;
    } cases[] = {
        {"announcement fails", 0, -1, "write error\n", 1},
        {"announcement times out", 0, 0, "write error\n", 1},
        {"block times out", 1, 0, "error writing parameters\n", 2},
        {"block is short", 1, 255, "error writing parameters\n", 2},
        {"block fails", 1, -1, "error writing parameters\n", 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        reset_fake();
        fake.write_results[c.index] = c.result;
        const auto r = run({file("params.bin", block)});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        const std::vector<expected_write> full{{{0xE8}, 1000}, {block, 1000}};
        expect_writes(
            std::vector<expected_write>(full.begin(), full.begin() + static_cast<long>(c.writes)));
    }
}

TEST_F(Frontend, ParameterFileThatChangesLengthIsAReadError)
{
    for (const std::size_t new_size : {std::size_t{255}, std::size_t{300}, std::size_t{0}}) {
        reset_fake();
        const std::string params = file("params.bin", pattern(256));
        // The file is measured before the device is found; change it meanwhile.
        fake.on_open = [&](int) { fs::resize_file(params, new_size); };
        const auto r = run({params});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "error reading parameters\n");
        expect_writes({{{0xE8}, 1000}});
    }
}

TEST_F(Frontend, PageReadErrorIsReportedNotTakenForTheEnd)
{
    const bytes content = pattern(11 + 3 * 2048);
    const std::string img = file("image.bin", content);
    // Once connected, swap the image's descriptor for a directory's, so the
    // next read fails with an I/O error rather than reaching the end.
    fake.on_open = [&](int) {
        for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            if (fs::read_symlink(entry.path(), ec) == img) {
                const int dirfd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
                dup2(dirfd, std::stoi(entry.path().filename().string()));
                close(dirfd);
            }
        }
    };
    const auto r = run({img});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "continuing with flashing\nerased\nerror reading firmware\n");
    const auto full = firmware_wire(content, false);
    expect_writes({full.begin(), full.begin() + 3}); // erase and the two zero bytes
}

TEST_F(Frontend, ConnectionRetries)
{
    const std::string trying = "cannot open usb connection, trying again\n";
    struct {
        std::vector<bool> opens;
        int status;
        std::string err;
        std::size_t attempts;
    } cases[] = {
        {{false, false, false, false},
         1,
         trying + trying + trying + trying + "cannot open usb connection, giving up\n",
         4},
        {{false, false, false, true},
         0,
         trying + trying + trying + "continuing with flashing\nerased\n",
         4},
        {{false, true}, 0, trying + "continuing with flashing\nerased\n", 2},
    };
    for (const auto &c : cases) {
        reset_fake();
        fake.open_results = c.opens;
        const auto r = run({"erase", "SN9"});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(fake.opens, c.attempts);
        // Each failed attempt is followed by a 1 s pause before anything else.
        using k = fake_event::kind;
        std::vector<std::pair<k, unsigned>> expected;
        const std::size_t failures = c.status == 0 ? c.attempts - 1 : c.attempts;
        for (std::size_t i = 0; i < failures; ++i) {
            expected.push_back({k::open, 0});
            expected.push_back({k::pause, 1});
        }
        if (c.status == 0) {
            expected.insert(
                expected.end(),
                {{k::open, 0}, {k::write, 0}, {k::pause, 4}, {k::write, 0}, {k::write, 0}});
        }
        std::vector<std::pair<k, unsigned>> got;
        for (const auto &e : fake.events)
            got.push_back({e.what, e.seconds});
        EXPECT_EQ(got, expected);
        if (c.status == 1) {
            EXPECT_TRUE(writes_of(fake.events).empty());
        }
    }
}

TEST_F(Frontend, UsbPathIsReadAfreshForEachAttempt)
{
    fake.open_results = {false, false, false, true};
    fake.on_open = [](int attempt) {
        if (attempt == 0)
            setenv("FLASHER_USBPATH", "", 1);
        if (attempt == 1)
            setenv("FLASHER_USBPATH", "3-1.4", 1);
        if (attempt == 2)
            unsetenv("FLASHER_USBPATH");
    };
    setenv("FLASHER_USBPATH", "20-1.2", 1);
    const auto r = run({"erase"});
    EXPECT_EQ(r.status, 0);
    std::vector<std::optional<std::string>> paths;
    for (const auto &e : fake.events)
        if (e.what == fake_event::kind::open)
            paths.push_back(e.usb_path);
    const std::vector<std::optional<std::string>> expected{"20-1.2", "", "3-1.4", std::nullopt};
    EXPECT_EQ(paths, expected);
}

} // namespace
