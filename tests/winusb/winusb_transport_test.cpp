// The WinUSB back-end against the recording double of the Windows calls.
// The device table of this test holds vendor 0x0A1B, product 0x00CD.
#include "usb/transport.h"

#include "win_double.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace
{

const char id_sn01[] = R"(USB\VID_0A1B&PID_00CD\SN01)";
const char id_sn02[] = R"(USB\VID_0A1B&PID_00CD\SN02)";
const char id_other_product[] = R"(USB\VID_0A1B&PID_00CE\SN01)";
const char id_hub[] = R"(USB\ROOT_HUB30\4&1B2C3D&0&0)";
const char path_sn01[] = R"(\\.\USB#VID_0A1B&PID_00CD#SN01#{A5DCBF10-6530-11D2-901F-00C04FB951ED})";
const char path_sn02[] = R"(\\.\USB#VID_0A1B&PID_00CD#SN02#{A5DCBF10-6530-11D2-901F-00C04FB951ED})";

// An instance ID of the table device, padded with serial characters to the
// given length.
std::string long_id(std::size_t length)
{
    std::string id = R"(USB\VID_0A1B&PID_00CD\)";
    id.append(length - id.size(), 'L');
    return id;
}

class winusb_test : public testing::Test
{
  protected:
    void SetUp() override
    {
        win_double_reset();
        // A usable device unless a test says otherwise: IN pipe at index 0,
        // the OUT pipe 0x02 at index 1.
        win.pipes = {{true, 0x81}, {true, 0x02}};
    }

    void TearDown() override
    {
        EXPECT_EQ(win.misuse, std::vector<std::string>{}) << "a handle used that was not live";
    }

    // open_usb with standard error captured into err.
    bool open(const char *serial, const char *usb_path = nullptr)
    {
        testing::internal::CaptureStderr();
        bool ok = open_usb(serial, usb_path);
        err = testing::internal::GetCapturedStderr();
        return ok;
    }

    std::vector<std::string> opened_paths() const
    {
        std::vector<std::string> paths;
        for (const create_file_call &c : win.create_files)
            paths.push_back(c.path);
        return paths;
    }

    std::string err;
};

TEST_F(winusb_test, lists_present_usb_devices_of_all_classes)
{
    win.devices = {{id_sn01}};
    ASSERT_TRUE(open(nullptr));
    ASSERT_EQ(win.classdevs.size(), 1u);
    const classdevs_call &c = win.classdevs[0];
    EXPECT_EQ(c.class_guid, nullptr);
    EXPECT_TRUE(c.has_enumerator);
    EXPECT_EQ(c.enumerator, "USB");
    EXPECT_EQ(c.parent, nullptr);
    EXPECT_EQ(c.flags, 6u); // DIGCF_PRESENT | DIGCF_ALLCLASSES
    EXPECT_EQ(c.set, nullptr);
    EXPECT_EQ(c.machine, nullptr);
    EXPECT_EQ(c.reserved, nullptr);
    EXPECT_EQ(win.enum_sizes, std::vector<DWORD>{32}); // sizeof(SP_DEVINFO_DATA) on x64
    EXPECT_EQ(win.id_buffer_lengths, std::vector<ULONG>{256});
    EXPECT_EQ(win.id_flags, std::vector<ULONG>{0});
    EXPECT_EQ(win.lists_destroyed, win.lists_created);
    EXPECT_EQ(err, "");
}

TEST_F(winusb_test, opens_interface_for_read_write_overlapped)
{
    win.devices = {{id_sn01}};
    ASSERT_TRUE(open(nullptr));
    ASSERT_EQ(win.create_files.size(), 1u);
    const create_file_call &c = win.create_files[0];
    EXPECT_EQ(c.path, path_sn01);
    EXPECT_EQ(c.access, 0xC0000000u); // GENERIC_READ | GENERIC_WRITE
    EXPECT_EQ(c.share, 3u);           // FILE_SHARE_READ | FILE_SHARE_WRITE
    EXPECT_EQ(c.security, nullptr);
    EXPECT_EQ(c.disposition, 3u);    // OPEN_EXISTING
    EXPECT_EQ(c.flags, 0x40000080u); // FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL
    EXPECT_EQ(c.template_file, nullptr);
    // WinUSB runs on that file, and the device stays open.
    EXPECT_EQ(win.initialize_handles, win.files_opened);
    EXPECT_EQ(win.files_closed.size(), 0u);
    EXPECT_EQ(win.interfaces_freed.size(), 0u);
    EXPECT_EQ(err, "");
}

TEST_F(winusb_test, first_matching_device_wins_and_walk_stops)
{
    win.devices = {{id_hub}, {id_other_product}, {id_sn01}, {id_sn02}};
    ASSERT_TRUE(open(nullptr));
    EXPECT_EQ(opened_paths(), std::vector<std::string>{path_sn01});
    // Devices 0 to 2 were read; device 3 was never looked at.
    EXPECT_EQ(win.id_requests, (std::vector<DEVINST>{500, 501, 502}));
    EXPECT_EQ(win.lists_destroyed, win.lists_created);
}

TEST_F(winusb_test, serial_selects_a_later_device)
{
    win.devices = {{id_sn01}, {id_sn02}};
    ASSERT_TRUE(open("SN02"));
    EXPECT_EQ(opened_paths(), std::vector<std::string>{path_sn02});
}

TEST_F(winusb_test, serial_prefix_selects_the_first_it_is_part_of)
{
    win.devices = {{id_other_product}, {id_sn02}, {id_sn01}};
    ASSERT_TRUE(open("SN0"));
    EXPECT_EQ(opened_paths(), std::vector<std::string>{path_sn02});
}

TEST_F(winusb_test, device_whose_id_cannot_be_read_is_passed_over)
{
    win.devices = {{id_sn01, CR_NO_SUCH_DEVNODE}, {id_sn02}};
    ASSERT_TRUE(open(nullptr));
    EXPECT_EQ(opened_paths(), std::vector<std::string>{path_sn02});
}

TEST_F(winusb_test, usb_path_is_not_a_selector)
{
    const char *usb_paths[] = {nullptr, "", "1-2", "3-1.4", id_sn02, path_sn02};
    for (const char *usb_path : usb_paths) {
        win_double_reset();
        win.pipes = {{true, 0x02}};
        win.devices = {{id_sn01}, {id_sn02}};
        ASSERT_TRUE(open(nullptr, usb_path)) << (usb_path ? usb_path : "(absent)");
        EXPECT_EQ(opened_paths(), std::vector<std::string>{path_sn01});
    }
}

// Failures of the search: the attempt fails and nothing is opened.
struct search_failure_case {
    const char *name;
    std::vector<fake_device> devices;
    const char *serial;
};

void PrintTo(const search_failure_case &c, std::ostream *os)
{
    *os << c.name;
}

class search_failure_test : public winusb_test,
                            public testing::WithParamInterface<search_failure_case>
{
};

TEST_P(search_failure_test, fails_without_opening_or_message)
{
    win.devices = GetParam().devices;
    EXPECT_FALSE(open(GetParam().serial));
    EXPECT_EQ(win.create_files.size(), 0u);
    EXPECT_EQ(win.lists_created.size(), 1u);
    EXPECT_EQ(win.lists_destroyed, win.lists_created);
    EXPECT_EQ(err, "");
}

INSTANTIATE_TEST_SUITE_P(
    cases, search_failure_test,
    testing::Values(search_failure_case{"no_usb_device", {}, nullptr},
                    search_failure_case{"no_table_device", {{id_hub}, {id_other_product}}, nullptr},
                    search_failure_case{"serial_absent", {{id_sn01}, {id_sn02}}, "SN03"},
                    search_failure_case{"serial_other_case", {{id_sn01}}, "sn01"},
                    search_failure_case{"id_unreadable", {{id_sn01, CR_BUFFER_SMALL}}, nullptr},
                    search_failure_case{"path_too_long", {{long_id(213)}}, nullptr},
                    search_failure_case{"longest_id", {{long_id(255)}}, nullptr}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(winusb_test, device_with_too_long_path_is_passed_over)
{
    win.devices = {{long_id(213)}, {id_sn02}};
    ASSERT_TRUE(open(nullptr));
    EXPECT_EQ(opened_paths(), std::vector<std::string>{path_sn02});
}

TEST_F(winusb_test, longest_path_that_fits_is_opened_whole)
{
    win.devices = {{long_id(212)}};
    ASSERT_TRUE(open(nullptr));
    ASSERT_EQ(win.create_files.size(), 1u);
    EXPECT_EQ(win.create_files[0].path.size(), 255u);
    EXPECT_EQ(win.create_files[0].path, R"(\\.\USB#VID_0A1B&PID_00CD#)" + std::string(190, 'L') +
                                            "#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
}

TEST_F(winusb_test, device_list_failure_prints_and_fails)
{
    win.classdevs_fails = true;
    win.devices = {{id_sn01}};
    EXPECT_FALSE(open(nullptr));
    EXPECT_EQ(err, "get classdev failed\n");
    EXPECT_EQ(win.calls, std::vector<std::string>{"SetupDiGetClassDevsExA"});
}

TEST_F(winusb_test, open_failure_is_silent_and_leaves_nothing_open)
{
    win.create_file_fails = true;
    win.devices = {{id_sn01}, {id_sn02}};
    EXPECT_FALSE(open(nullptr));
    // The first match is the only one tried.
    EXPECT_EQ(opened_paths(), std::vector<std::string>{path_sn01});
    EXPECT_EQ(err, "");
    EXPECT_EQ(win.initialize_handles.size(), 0u);
    EXPECT_EQ(win.files_closed.size(), 0u);
}

TEST_F(winusb_test, winusb_init_failure_prints_and_closes_the_file)
{
    win.initialize_fails = true;
    win.devices = {{id_sn01}};
    EXPECT_FALSE(open(nullptr));
    EXPECT_EQ(err, "winusb init failed\n");
    EXPECT_EQ(win.files_closed, win.files_opened);
    EXPECT_EQ(win.files_opened.size(), 1u);
    EXPECT_EQ(win.queries.size(), 0u);
    // No interface was made, so none is freed.
    EXPECT_EQ(win.calls.back(), "CloseHandle");
    EXPECT_EQ(win.interfaces_freed.size(), 0u);
}

// Which pipes make a device usable: only indices 0 and 1 of alternate
// setting 0 count, and a pipe is OUT when bit 7 of its id is clear.
struct pipe_case {
    const char *name;
    std::vector<fake_pipe> pipes;
    bool usable;
};

void PrintTo(const pipe_case &c, std::ostream *os)
{
    *os << c.name;
}

class pipe_test : public winusb_test, public testing::WithParamInterface<pipe_case>
{
};

TEST_P(pipe_test, out_pipe_at_index_0_or_1)
{
    win.devices = {{id_sn01}};
    win.pipes = GetParam().pipes;
    ASSERT_EQ(open(nullptr), GetParam().usable);
    ASSERT_EQ(win.interfaces_created.size(), 1u);
    std::vector<std::pair<int, int>> asked; // (alternate setting, index)
    for (const query_pipe_call &q : win.queries) {
        EXPECT_EQ(q.handle, win.interfaces_created[0]);
        asked.emplace_back(q.alternate, q.index);
    }
    EXPECT_EQ(asked, (std::vector<std::pair<int, int>>{{0, 0}, {0, 1}}));
    EXPECT_EQ(err, "");
    if (GetParam().usable) {
        EXPECT_EQ(win.files_closed.size(), 0u);
        EXPECT_EQ(win.interfaces_freed.size(), 0u);
    } else {
        // Everything the attempt made is given back.
        EXPECT_EQ(win.interfaces_freed, win.interfaces_created);
        EXPECT_EQ(win.files_closed, win.files_opened);
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, pipe_test,
    testing::Values(pipe_case{"out_at_0", {{true, 0x02}, {true, 0x81}}, true},
                    pipe_case{"out_at_1", {{true, 0x81}, {true, 0x02}}, true},
                    pipe_case{"out_1_at_0", {{true, 0x01}}, true},
                    pipe_case{"both_out", {{true, 0x01}, {true, 0x02}}, true},
                    pipe_case{"both_in", {{true, 0x81}, {true, 0x82}}, false},
                    pipe_case{"out_only_at_2", {{true, 0x81}, {true, 0x83}, {true, 0x02}}, false},
                    pipe_case{"no_pipes", {}, false},
                    pipe_case{"failed_query_of_out", {{false, 0x02}, {true, 0x81}}, false},
                    pipe_case{"failed_then_out", {{false, 0x81}, {true, 0x02}}, true},
                    pipe_case{"out_bit_7_only_decides", {{true, 0x7F}, {true, 0x80}}, true}),
    [](const auto &info) { return std::string(info.param.name); });

// Four failed attempts, as the front end makes them, give back every list,
// file and interface they made.
struct leak_case {
    const char *name;
    void (*setup)();
};

void PrintTo(const leak_case &c, std::ostream *os)
{
    *os << c.name;
}

class leak_test : public winusb_test, public testing::WithParamInterface<leak_case>
{
};

TEST_P(leak_test, four_failed_attempts_leak_nothing)
{
    win.devices = {{id_sn01}};
    GetParam().setup();
    for (int attempt = 0; attempt < 4; ++attempt)
        EXPECT_FALSE(open(nullptr));
    EXPECT_EQ(win.lists_destroyed, win.lists_created);
    EXPECT_EQ(win.files_closed, win.files_opened);
    EXPECT_EQ(win.interfaces_freed, win.interfaces_created);
}

INSTANTIATE_TEST_SUITE_P(
    cases, leak_test,
    testing::Values(leak_case{"list_fails", [] { win.classdevs_fails = true; }},
                    leak_case{"no_match", [] { win.devices = {{id_hub}}; }},
                    leak_case{"path_too_long", [] { win.devices = {{long_id(230)}}; }},
                    leak_case{"open_fails", [] { win.create_file_fails = true; }},
                    leak_case{"init_fails", [] { win.initialize_fails = true; }},
                    leak_case{"no_out_pipe",
                              [] {
                                  win.pipes = {{true, 0x81}};
                              }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(winusb_test, no_out_pipe_attempts_really_made_something_to_free)
{
    // Guards the leak test above against passing with nothing created.
    win.devices = {{id_sn01}};
    win.pipes = {{true, 0x81}};
    for (int attempt = 0; attempt < 4; ++attempt)
        EXPECT_FALSE(open(nullptr));
    EXPECT_EQ(win.lists_created.size(), 4u);
    EXPECT_EQ(win.files_opened.size(), 4u);
    EXPECT_EQ(win.interfaces_created.size(), 4u);
}

// ---- Writes ----

class write_test : public winusb_test
{
  protected:
    void SetUp() override
    {
        winusb_test::SetUp();
        win.devices = {{id_sn01}};
        ASSERT_TRUE(open(nullptr));
        ASSERT_EQ(win.interfaces_created.size(), 1u);
        device = win.interfaces_created[0];
        win.calls.clear();
    }

    WINUSB_INTERFACE_HANDLE device = nullptr;
};

TEST_F(write_test, writes_the_callers_bytes_to_pipe_2_synchronously)
{
    const unsigned char erase[12] = {0xE1};
    EXPECT_EQ(flasher_dev_write(erase, 12, 5000), 12);
    ASSERT_EQ(win.writes.size(), 1u);
    const write_pipe_call &w = win.writes[0];
    EXPECT_EQ(w.handle, device);
    EXPECT_EQ(w.pipe, 0x02);
    EXPECT_EQ(w.buffer, erase); // the caller's memory, not a copy
    EXPECT_EQ(w.length, 12u);
    EXPECT_EQ(w.transferred_on_entry, 0u);
    EXPECT_EQ(w.overlapped, nullptr);
}

TEST_F(write_test, pipe_is_2_whatever_out_pipe_was_found)
{
    // Reopen a device whose only OUT pipe among the two checked is 0x01.
    win_double_reset();
    win.devices = {{id_sn01}};
    win.pipes = {{true, 0x01}, {true, 0x81}};
    ASSERT_TRUE(open(nullptr));
    const unsigned char zero = 0x00;
    flasher_dev_write(&zero, 1, 10000);
    ASSERT_EQ(win.writes.size(), 1u);
    EXPECT_EQ(win.writes[0].pipe, 0x02);
    ASSERT_EQ(win.policies.size(), 1u);
    EXPECT_EQ(win.policies[0].pipe, 0x02);
}

struct count_case {
    const char *name;
    fake_write write;
    int length;
    int expected;
};

void PrintTo(const count_case &c, std::ostream *os)
{
    *os << c.name;
}

class write_count_test : public write_test, public testing::WithParamInterface<count_case>
{
};

TEST_P(write_count_test, returns_the_count_winusb_reports)
{
    const unsigned char data[256] = {};
    win.write = GetParam().write;
    EXPECT_EQ(flasher_dev_write(data, GetParam().length, 1000), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(cases, write_count_test,
                         testing::Values(count_case{"whole", {0xFFFFFFFF, TRUE}, 64, 64},
                                         count_case{"whole_block", {0xFFFFFFFF, TRUE}, 256, 256},
                                         count_case{"timed_out_part_way", {5, FALSE}, 12, 5},
                                         count_case{"nothing_sent", {0, FALSE}, 3, 0},
                                         count_case{"short_but_ok", {63, TRUE}, 64, 63},
                                         count_case{"single_byte", {1, TRUE}, 1, 1}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(write_test, each_write_is_bounded_by_its_own_time_out)
{
    // The time-outs of a short firmware run: erase, two zero bytes, a page
    // header and chunks, the trailer.
    const unsigned int timeouts[] = {5000, 10000, 10000, 1000, 1000, 1000, 10000, 1000};
    const unsigned char byte = 0;
    for (unsigned int t : timeouts)
        flasher_dev_write(&byte, 1, t);

    std::vector<ULONG> set;
    for (const pipe_policy_call &p : win.policies) {
        EXPECT_EQ(p.handle, device);
        EXPECT_EQ(p.pipe, 0x02);
        EXPECT_EQ(p.policy, 3u); // PIPE_TRANSFER_TIMEOUT
        EXPECT_EQ(p.value_length, 4u);
        set.push_back(p.value);
    }
    // Set only when the value changes.
    EXPECT_EQ(set, (std::vector<ULONG>{5000, 10000, 1000, 10000, 1000}));
    EXPECT_EQ(win.writes.size(), 8u);
    // Each change comes before the write it bounds.
    EXPECT_EQ(win.calls, (std::vector<std::string>{
                             "WinUsb_SetPipePolicy", "WinUsb_WritePipe", "WinUsb_SetPipePolicy",
                             "WinUsb_WritePipe", "WinUsb_WritePipe", "WinUsb_SetPipePolicy",
                             "WinUsb_WritePipe", "WinUsb_WritePipe", "WinUsb_WritePipe",
                             "WinUsb_SetPipePolicy", "WinUsb_WritePipe", "WinUsb_SetPipePolicy",
                             "WinUsb_WritePipe"}));
}

TEST_F(write_test, first_write_sets_time_out_even_at_zero)
{
    // 0 is WinUSB's default, but what the pipe holds is not assumed.
    const unsigned char byte = 0;
    flasher_dev_write(&byte, 1, 0);
    ASSERT_EQ(win.policies.size(), 1u);
    EXPECT_EQ(win.policies[0].value, 0u);
}

TEST_F(write_test, new_device_gets_its_time_out_set_again)
{
    const unsigned char byte = 0;
    flasher_dev_write(&byte, 1, 1000);
    win_double_reset();
    win.devices = {{id_sn01}};
    win.pipes = {{true, 0x02}};
    ASSERT_TRUE(open(nullptr));
    flasher_dev_write(&byte, 1, 1000);
    ASSERT_EQ(win.policies.size(), 1u);
    EXPECT_EQ(win.policies[0].handle, win.interfaces_created[0]);
    EXPECT_EQ(win.policies[0].value, 1000u);
}

TEST_F(write_test, write_whose_time_out_cannot_be_set_is_not_started)
{
    const unsigned char page_header[3] = {0xE4, 0, 0};
    win.set_policy_fails = true;
    EXPECT_EQ(flasher_dev_write(page_header, 3, 1000), 0);
    EXPECT_EQ(win.writes.size(), 0u);
    // The next write tries again, with the same value.
    win.set_policy_fails = false;
    EXPECT_EQ(flasher_dev_write(page_header, 3, 1000), 3);
    ASSERT_EQ(win.policies.size(), 2u);
    EXPECT_EQ(win.policies[1].value, 1000u);
    EXPECT_EQ(win.writes.size(), 1u);
}

TEST_F(write_test, negative_length_sends_nothing)
{
    const unsigned char byte = 0;
    EXPECT_EQ(flasher_dev_write(&byte, -1, 1000), 0);
    EXPECT_EQ(win.writes.size(), 0u);
}

} // namespace
