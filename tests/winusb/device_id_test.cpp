// Device selection by instance ID and the interface path, with the table of
// this test: vendor 0x0A1B, product 0x00CD (see CMakeLists.txt).
#include "usb/winusb/device_id.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <ostream>
#include <string>

namespace
{

struct match_case {
    const char *name;
    const char *instance_id;
    const char *serial; // null: no serial given
    int expected;
};

void PrintTo(const match_case &c, std::ostream *os)
{
    *os << c.name;
}

const match_case match_cases[] = {
    {"ids_no_serial", R"(USB\VID_0A1B&PID_00CD\SN01)", nullptr, 1},
    {"whole_serial", R"(USB\VID_0A1B&PID_00CD\SN01)", "SN01", 1},
    {"serial_prefix", R"(USB\VID_0A1B&PID_00CD\SN01)", "SN0", 1},
    {"serial_inner_part", R"(USB\VID_0A1B&PID_00CD\SN01)", "N0", 1},
    {"serial_other_case", R"(USB\VID_0A1B&PID_00CD\SN01)", "sn01", 0},
    {"serial_other_device", R"(USB\VID_0A1B&PID_00CD\SN01)", "SN02", 0},
    {"serial_longer_than_id_part", R"(USB\VID_0A1B&PID_00CD\SN01)", "SN011", 0},
    {"empty_serial_matches_all", R"(USB\VID_0A1B&PID_00CD\SN01)", "", 1},
    {"serial_is_product_digits", R"(USB\VID_0A1B&PID_00CD\SN01)", "00CD", 1},
    {"serial_is_vendor_text", R"(USB\VID_0A1B&PID_00CD\SN01)", "VID_0A1B", 1},
    {"serial_spans_backslash", R"(USB\VID_0A1B&PID_00CD\SN01)", R"(00CD\SN)", 1},
    {"other_product", R"(USB\VID_0A1B&PID_00CE\SN01)", nullptr, 0},
    {"other_vendor", R"(USB\VID_0A1C&PID_00CD\SN01)", nullptr, 0},
    {"lower_case_hex", R"(USB\VID_0a1b&PID_00cd\SN01)", nullptr, 0},
    {"lower_case_prefix", R"(USB\vid_0A1B&pid_00CD\SN01)", nullptr, 0},
    {"digits_not_padded", R"(USB\VID_A1B&PID_CD\SN01)", nullptr, 0},
    {"vendor_only", R"(USB\VID_0A1B\SN01)", nullptr, 0},
    {"product_only", R"(USB\PID_00CD\SN01)", nullptr, 0},
    {"texts_in_other_order", R"(USB\PID_00CD&VID_0A1B\SN01)", nullptr, 1},
    {"interface_of_composite", R"(USB\VID_0A1B&PID_00CD&MI_00\7&2A5C&0&0000)", nullptr, 1},
    {"generated_serial", R"(USB\VID_0A1B&PID_00CD\5&1F3E7D&0&2)", "SN01", 0},
    {"empty_id", "", nullptr, 0},
    {"empty_id_empty_serial", "", "", 0},
};

class match_device_id_test : public testing::TestWithParam<match_case>
{
};

TEST_P(match_device_id_test, matches_table_texts_and_serial)
{
    const match_case &c = GetParam();
    EXPECT_EQ(match_device_id(c.instance_id, c.serial), c.expected);
}

INSTANTIATE_TEST_SUITE_P(cases, match_device_id_test, testing::ValuesIn(match_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(match_device_id, no_id_never_matches)
{
    EXPECT_EQ(match_device_id(nullptr, nullptr), 0);
}

constexpr char guid_suffix[] = "#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

// The path buffer sits at the start of a larger one filled with a canary, so
// a write past its end shows.
struct guarded_path {
    std::array<char, interface_path_size + 64> bytes;
    guarded_path()
    {
        bytes.fill('Z');
    }
    std::span<char> path()
    {
        return std::span<char>(bytes.data(), interface_path_size);
    }
    bool guard_intact() const
    {
        for (std::size_t i = interface_path_size; i < bytes.size(); ++i) {
            if (bytes[i] != 'Z')
                return false;
        }
        return true;
    }
};

TEST(build_interface_path, example_device)
{
    guarded_path buf;
    ASSERT_TRUE(build_interface_path(R"(USB\VID_0A1B&PID_00CD\SN01)", buf.path()));
    EXPECT_STREQ(buf.bytes.data(),
                 R"(\\.\USB#VID_0A1B&PID_00CD#SN01#{A5DCBF10-6530-11D2-901F-00C04FB951ED})");
    EXPECT_TRUE(buf.guard_intact());
}

TEST(build_interface_path, only_backslashes_of_the_id_change)
{
    guarded_path buf;
    ASSERT_TRUE(build_interface_path(R"(USB\VID_0A1B&PID_00CD&MI_01\\7&2a#x\)", buf.path()));
    EXPECT_STREQ(
        buf.bytes.data(),
        R"(\\.\USB#VID_0A1B&PID_00CD&MI_01##7&2a#x##{A5DCBF10-6530-11D2-901F-00C04FB951ED})");
}

TEST(build_interface_path, one_character_id)
{
    guarded_path buf;
    ASSERT_TRUE(build_interface_path("X", buf.path()));
    EXPECT_STREQ(buf.bytes.data(), R"(\\.\X#{A5DCBF10-6530-11D2-901F-00C04FB951ED})");
}

struct length_case {
    std::size_t id_length;
    bool fits;
};

void PrintTo(const length_case &c, std::ostream *os)
{
    *os << c.id_length << " characters";
}

class interface_path_length_test : public testing::TestWithParam<length_case>
{
};

// 212 characters of ID give a 255-character path, the most 256 bytes hold.
TEST_P(interface_path_length_test, fits_whole_or_not_at_all)
{
    const length_case &c = GetParam();
    std::string id = R"(USB\VID_0A1B&PID_00CD\)";
    id.append(c.id_length - id.size(), 'S');
    guarded_path buf;
    ASSERT_EQ(build_interface_path(id.c_str(), buf.path()), c.fits);
    EXPECT_TRUE(buf.guard_intact());
    if (c.fits) {
        std::string expected = R"(\\.\USB#VID_0A1B&PID_00CD#)" + id.substr(22) + guid_suffix;
        EXPECT_EQ(std::string(buf.bytes.data()), expected);
    } else {
        // Never a cut-off path that might name some other device.
        EXPECT_EQ(buf.bytes[0], '\0');
    }
}

INSTANTIATE_TEST_SUITE_P(lengths, interface_path_length_test,
                         testing::Values(length_case{200, true}, length_case{211, true},
                                         length_case{212, true}, length_case{213, false},
                                         length_case{255, false}));

TEST(build_interface_path, empty_buffer_is_refused)
{
    char c = 'Z';
    EXPECT_FALSE(build_interface_path("X", std::span<char>(&c, 0)));
    EXPECT_EQ(c, 'Z');
}

} // namespace
