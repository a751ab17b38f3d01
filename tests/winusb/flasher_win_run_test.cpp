// Whole runs of flasher-win's code: the shared front end over the WinUSB
// back-end, with the double in place of Windows and a recording pause. This
// is what Wine cannot show, since Wine has no USB devices and no WinUSB. The
// expected bytes are written out here from the wire format.
#include "frontend/run_request.h"

#include "win_double.h"
#include "write_pipe_cases.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

std::vector<unsigned int> pauses;

void flasher_pause(unsigned int seconds)
{
    pauses.push_back(seconds);
}

namespace
{

using bytes = std::vector<unsigned char>;

const char id_sn01[] = R"(USB\VID_0A1B&PID_00CD\SN01)";
const char id_sn02[] = R"(USB\VID_0A1B&PID_00CD\SN02)";

std::string write_file(const char *name, const bytes &content)
{
    std::string path = testing::TempDir() + name;
    std::FILE *f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f != nullptr) {
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
    return path;
}

// One bulk write as the device saw it: its bytes and the pipe time-out in
// force when it started.
struct seen_write {
    bytes data;
    ULONG timeout_ms;
    bool operator==(const seen_write &) const = default;
};

class flasher_win_run : public testing::Test
{
  protected:
    void SetUp() override
    {
        win_double_reset();
        pauses.clear();
        win.devices = {{id_sn01}, {id_sn02}};
        win.pipes = {{true, 0x81}, {true, 0x02}};
        unsetenv("FLASHER_USBPATH");
    }

    void TearDown() override
    {
        unsetenv("FLASHER_USBPATH");
        EXPECT_EQ(win.misuse, std::vector<std::string>{});
    }

    int run(std::vector<std::string> args)
    {
        args.insert(args.begin(), "flasher-win.exe");
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStderr();
        int status = flasher_main(static_cast<int>(args.size()), argv.data());
        err = testing::internal::GetCapturedStderr();
        return status;
    }

    // Replays the recorded calls: every write with the time-out the pipe
    // policy held at that moment. All writes must go to pipe 0x02 of the
    // interface that was opened.
    std::vector<seen_write> device_view() const
    {
        std::vector<seen_write> seen;
        ULONG timeout = 0;
        std::size_t policy = 0;
        std::size_t write = 0;
        for (const std::string &call : win.calls) {
            if (call == "WinUsb_SetPipePolicy") {
                const pipe_policy_call &p = win.policies.at(policy++);
                EXPECT_EQ(p.pipe, 0x02);
                EXPECT_EQ(p.policy, PIPE_TRANSFER_TIMEOUT);
                timeout = p.value;
            } else if (call == "WinUsb_WritePipe") {
                const write_pipe_call &w = win.writes.at(write++);
                EXPECT_EQ(w.pipe, 0x02);
                EXPECT_EQ(w.handle, win.interfaces_created.back());
                seen.push_back({w.bytes, timeout});
            }
        }
        return seen;
    }

    std::string err;
};

TEST_F(flasher_win_run, erase_all_on_the_device_named_by_serial)
{
    // FLASHER_USBPATH does not select anything in this build.
    setenv("FLASHER_USBPATH", "9-9", 1);
    ASSERT_EQ(run({"erase", "all", "SN02"}), 0);
    ASSERT_EQ(win.create_files.size(), 1u);
    EXPECT_EQ(win.create_files[0].path,
              R"(\\.\USB#VID_0A1B&PID_00CD#SN02#{A5DCBF10-6530-11D2-901F-00C04FB951ED})");
    const bytes erase_all = {0xE2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(device_view(),
              (std::vector<seen_write>{{erase_all, 5000}, {{0x00}, 10000}, {{0x00}, 10000}}));
    EXPECT_EQ(pauses, std::vector<unsigned int>{4});
    EXPECT_EQ(err, "continuing with flashing\nerased\n");
}

TEST_F(flasher_win_run, firmware_page_and_trailer)
{
    bytes header, page, trailer;
    for (unsigned i = 0; i < 11; ++i)
        header.push_back(static_cast<unsigned char>(0x10 + i));
    for (unsigned i = 0; i < 2048; ++i)
        page.push_back(static_cast<unsigned char>(i * 7 + 3));
    for (unsigned i = 0; i < 16; ++i)
        trailer.push_back(static_cast<unsigned char>(0xA0 + i));
    bytes image = header;
    image.insert(image.end(), page.begin(), page.end());
    image.insert(image.end(), trailer.begin(), trailer.end());
    const std::string file = write_file("flasher_win_image.bin", image);

    ASSERT_EQ(run({file}), 0);

    std::vector<seen_write> expected;
    bytes erase = {0xE1};
    erase.insert(erase.end(), header.begin(), header.end());
    expected.push_back({erase, 5000});
    expected.push_back({{0x00}, 10000});
    expected.push_back({{0x00}, 10000});
    expected.push_back({{0xE4, 0x00, 0x00}, 1000});
    for (std::size_t k = 0; k < 32; ++k)
        expected.push_back({bytes(page.begin() + static_cast<std::ptrdiff_t>(64 * k),
                                  page.begin() + static_cast<std::ptrdiff_t>(64 * (k + 1))),
                            1000});
    bytes trailer_msg = {0xE0};
    trailer_msg.insert(trailer_msg.end(), trailer.begin(), trailer.end());
    expected.push_back({trailer_msg, 10000});
    EXPECT_EQ(device_view(), expected);
    // Four policy changes for 38 writes.
    EXPECT_EQ(win.policies.size(), 4u);
    EXPECT_EQ(err, "continuing with flashing\nerased\npage: 0  \n");
}

TEST_F(flasher_win_run, parameter_block)
{
    bytes params;
    for (unsigned i = 0; i < 256; ++i)
        params.push_back(static_cast<unsigned char>(255 - i));
    const std::string file = write_file("flasher_win_params.bin", params);
    ASSERT_EQ(run({file, "all", "SN01"}), 0);
    EXPECT_EQ(device_view(), (std::vector<seen_write>{{{0xE8}, 1000}, {params, 1000}}));
    EXPECT_EQ(win.policies.size(), 1u);
    EXPECT_EQ(pauses, std::vector<unsigned int>{});
    EXPECT_EQ(err, "");
}

TEST_F(flasher_win_run, erase_that_times_out_stops_the_run)
{
    win.write = {0, FALSE};
    ASSERT_EQ(run({"erase"}), 1);
    EXPECT_EQ(win.writes.size(), 1u);
    EXPECT_EQ(pauses, std::vector<unsigned int>{});
    EXPECT_EQ(err, "continuing with flashing\nerased\nerase error\n");
}

TEST_F(flasher_win_run, no_device_four_attempts_then_giving_up)
{
    win.devices = {{R"(USB\ROOT_HUB30\4&1B2C3D&0&0)"}};
    ASSERT_EQ(run({"erase"}), 1);
    EXPECT_EQ(win.lists_created.size(), 4u);
    EXPECT_EQ(win.lists_destroyed, win.lists_created);
    EXPECT_EQ(pauses, (std::vector<unsigned int>{1, 1, 1, 1}));
    EXPECT_EQ(err, "cannot open usb connection, trying again\n"
                   "cannot open usb connection, trying again\n"
                   "cannot open usb connection, trying again\n"
                   "cannot open usb connection, trying again\n"
                   "cannot open usb connection, giving up\n");
}

TEST_F(flasher_win_run, winusb_failing_every_attempt_leaks_nothing)
{
    win.initialize_fails = true;
    ASSERT_EQ(run({"erase", "SN01"}), 1);
    std::string expected;
    for (int i = 0; i < 4; ++i)
        expected += "winusb init failed\ncannot open usb connection, trying again\n";
    expected += "cannot open usb connection, giving up\n";
    EXPECT_EQ(err, expected);
    EXPECT_EQ(win.files_opened.size(), 4u);
    EXPECT_EQ(win.files_closed, win.files_opened);
    EXPECT_EQ(win.writes.size(), 0u);
}

// flasher-win with devices that differ only in their pipes: it opens each,
// and its erase is taken exactly when pipe 0x02 takes writes, as
// flasher-probe.exe foretells from the same table (write_pipe_cases.h).
class write_pipe_run : public flasher_win_run, public testing::WithParamInterface<write_pipe_case>
{
};

TEST_P(write_pipe_run, erase_taken_only_through_pipe_0x02)
{
    win.devices = {{id_sn01}};
    win.pipes = GetParam().pipes;
    const int status = run({"erase"});
    EXPECT_EQ(win.files_opened.size(), 1u); // the first attempt opened it
    ASSERT_EQ(win.writes.size(), GetParam().writes_go_through ? 3u : 1u);
    EXPECT_EQ(win.writes[0].pipe, 0x02);
    EXPECT_EQ(status, GetParam().writes_go_through ? 0 : 1);
    EXPECT_EQ(err, GetParam().writes_go_through
                       ? "continuing with flashing\nerased\n"
                       : "continuing with flashing\nerased\nerase error\n");
}

INSTANTIATE_TEST_SUITE_P(cases, write_pipe_run, testing::ValuesIn(write_pipe_cases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
