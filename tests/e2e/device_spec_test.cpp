// flasher-vdev's device settings and the descriptors a device presents.
#include "tools/vdev/addresses.h"
#include "tools/vdev/device_spec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using vdev::device_spec;
using vdev::transfer_fault;

namespace
{

device_spec defaults()
{
    device_spec spec;
    spec.vid = 0x1209;
    spec.pid = 0x000A;
    spec.serial = std::string(1, 'S'); // = "S" draws a false -Wrestrict from GCC 12
    return spec;
}

struct good_case {
    const char *text;
    std::string path;
    std::vector<std::uint8_t> endpoints;
};

class GoodSpecs : public ::testing::TestWithParam<good_case>
{
};

TEST_P(GoodSpecs, Parse)
{
    device_spec spec = defaults();
    std::string error;
    ASSERT_TRUE(vdev::parse_device_spec(GetParam().text, spec, error)) << error;
    EXPECT_EQ(vdev::usb_path_of(spec), GetParam().path);
    EXPECT_EQ(spec.endpoints, GetParam().endpoints);
}

INSTANTIATE_TEST_SUITE_P(
    Specs, GoodSpecs,
    ::testing::Values(good_case{"path=20-1.2", "20-1.2", {0x02}}, good_case{"path=3", "3", {0x02}},
                      good_case{"path=255-1.2.3.4.5.6.7", "255-1.2.3.4.5.6.7", {0x02}},
                      good_case{"endpoints=81:02:03", "1", {0x81, 0x02, 0x03}},
                      good_case{"endpoints=", "1", {}}, good_case{"no-out", "1", {0x81}}));

class BadSpecs : public ::testing::TestWithParam<const char *>
{
};

TEST_P(BadSpecs, AreRefusedWithTheItemNamed)
{
    device_spec spec = defaults();
    std::string error;
    EXPECT_FALSE(vdev::parse_device_spec(GetParam(), spec, error));
    std::string text = GetParam();
    std::string item = text.substr(text.find(',') == std::string::npos ? 0 : text.find(',') + 1);
    EXPECT_EQ(error, "bad device setting '" + item + "'");
}

INSTANTIATE_TEST_SUITE_P(Specs, BadSpecs,
                         ::testing::Values("vid=10000", "vid=", "pid=-1", "path=0-1", "path=1-",
                                           "path=1-1..2", "path=1-256", "path=1-1.2.3.4.5.6.7.8",
                                           "endpoints=1G", "endpoints=81:", "endpoints=80",
                                           "endpoints=100", "stall=x", "short=3",
                                           "short=3:", "timeout=-1", "colour=red", "unconfigured=1",
                                           "no-access=1", "serial=A,bogus", "arrive=", "arrive=-1",
                                           "arrive=.5", "arrive=1.2345", "arrive=1e3", "leave=0x10",
                                           "arrive=1000001", "arrive=1,arrive=2", "leave=1,leave=2",
                                           "arrive=2,leave=1.5", "leave=2,arrive=2", "held",
                                           "held=", "held=usb hid", "serial=A,held=a/b"));

TEST(DeviceSpec, FaultsAndSettings)
{
    device_spec spec = defaults();
    std::string error;
    ASSERT_TRUE(vdev::parse_device_spec(
        "vid=0x1234,pid=ABCD,serial=,stall=3,short=5:7,timeout=9,gone=11,service-us=250,"
        "unconfigured,no-interface,no-open,no-access,serial-fails",
        spec, error))
        << error;
    EXPECT_EQ(spec.vid, 0x1234);
    EXPECT_EQ(spec.pid, 0xABCD);
    EXPECT_EQ(spec.serial, "");
    EXPECT_EQ(spec.service_us, 250u);
    EXPECT_TRUE(spec.unconfigured && spec.no_interface && spec.no_open && spec.no_access &&
                spec.serial_fails);
    EXPECT_EQ(vdev::fault_for(spec, 3).fault, transfer_fault::stall);
    EXPECT_EQ(vdev::fault_for(spec, 5).fault, transfer_fault::short_taken);
    EXPECT_EQ(vdev::fault_for(spec, 5).taken, 7u);
    EXPECT_EQ(vdev::fault_for(spec, 9).fault, transfer_fault::timeout);
    EXPECT_EQ(vdev::fault_for(spec, 11).fault, transfer_fault::gone);
    EXPECT_EQ(vdev::fault_for(spec, 4).fault, transfer_fault::none);
}

// arrive= and leave= in turn; the faults written after an arrive= strike
// that plug-in, counted from its own first transfer.
struct hotplug_case {
    const char *name;
    const char *text;
    std::vector<vdev::hotplug_event> events;
    unsigned plug_ins;
    bool present_at_start;
    std::vector<unsigned> stall_plug_ins; // the plug-in of each stall=, in order
};

class HotplugSpecs : public ::testing::TestWithParam<hotplug_case>
{
};

TEST_P(HotplugSpecs, Parse)
{
    const hotplug_case &c = GetParam();
    device_spec spec = defaults();
    std::string error;
    ASSERT_TRUE(vdev::parse_device_spec(c.text, spec, error)) << error;
    ASSERT_EQ(spec.hotplug.size(), c.events.size());
    for (std::size_t i = 0; i < c.events.size(); ++i) {
        EXPECT_EQ(spec.hotplug[i].arrive, c.events[i].arrive) << i;
        EXPECT_EQ(spec.hotplug[i].ms, c.events[i].ms) << i;
    }
    EXPECT_EQ(vdev::plug_in_count(spec), c.plug_ins);
    EXPECT_EQ(vdev::present_at_start(spec), c.present_at_start);
    std::vector<unsigned> stalls;
    for (const vdev::planned_fault &f : spec.faults)
        stalls.push_back(f.plug_in);
    EXPECT_EQ(stalls, c.stall_plug_ins);
    for (const vdev::planned_fault &f : spec.faults) {
        EXPECT_EQ(vdev::fault_for(spec, f.transfer, f.plug_in).fault, transfer_fault::stall);
        EXPECT_EQ(vdev::fault_for(spec, f.transfer, f.plug_in + 1).fault, transfer_fault::none);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Specs, HotplugSpecs,
    ::testing::Values(hotplug_case{"ThereThroughout", "stall=2", {}, 1, true, {0}},
                      hotplug_case{"InOutIn",
                                   "serial=A,arrive=0.5,leave=3,arrive=4",
                                   {{true, 500}, {false, 3000}, {true, 4000}},
                                   2,
                                   false,
                                   {}},
                      hotplug_case{"FractionsToTheMillisecond",
                                   "arrive=0.001,leave=12.25,arrive=1000000",
                                   {{true, 1}, {false, 12250}, {true, 1000000000}},
                                   2,
                                   false,
                                   {}},
                      hotplug_case{"FaultsFollowTheirArrival",
                                   "stall=1,arrive=1,stall=2,leave=2,arrive=3,stall=3",
                                   {{true, 1000}, {false, 2000}, {true, 3000}},
                                   2,
                                   false,
                                   {0, 0, 1}},
                      hotplug_case{"LeavesFirst",
                                   "stall=1,leave=0.2,arrive=0.3,stall=4",
                                   {{false, 200}, {true, 300}},
                                   2,
                                   true,
                                   {0, 1}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(DeviceSpec, Held)
{
    device_spec spec = defaults();
    std::string error;
    EXPECT_EQ(spec.held, "");
    ASSERT_TRUE(vdev::parse_device_spec("held=snd-usb_audio.2", spec, error)) << error;
    EXPECT_EQ(spec.held, "snd-usb_audio.2");
    ASSERT_TRUE(vdev::parse_device_spec(("held=" + std::string(255, 'd')).c_str(), spec, error));
    EXPECT_FALSE(vdev::parse_device_spec(("held=" + std::string(256, 'd')).c_str(), spec, error));
}

// Addresses as the kernel gives them: the next free one after the last,
// wrapping after 127 past the root hub's 1; none when all are taken.
TEST(BusAddresses, NextFreeAfterTheLastWrapping)
{
    vdev::bus_addresses bus;
    std::vector<unsigned> taken;
    for (int i = 0; i < 126; ++i)
        taken.push_back(bus.take());
    EXPECT_EQ(taken.front(), 2u);
    EXPECT_EQ(taken.back(), 127u);
    EXPECT_EQ(bus.take(), 0u);
    bus.release(5);
    bus.release(3);
    EXPECT_EQ(bus.take(), 3u); // wrapped to 1, taken; 2 taken; 3 free
    EXPECT_EQ(bus.take(), 5u);
    bus.release(4);
    bus.release(127);
    EXPECT_EQ(bus.take(), 127u); // after 5 comes 6..127, not 4 again yet
    EXPECT_EQ(bus.take(), 4u);
}

TEST(DeviceSpec, Descriptors)
{
    device_spec spec = defaults();
    spec.endpoints = {0x81, 0x02};
    std::vector<std::uint8_t> d = vdev::descriptors_of(spec);
    ASSERT_EQ(d.size(), 18u + 9 + 9 + 2 * 7);
    EXPECT_EQ(d[8], 0x09); // idVendor, little-endian
    EXPECT_EQ(d[9], 0x12);
    EXPECT_EQ(d[10], 0x0A);
    EXPECT_EQ(d[11], 0x00);
    EXPECT_EQ(d[16], 3);              // iSerialNumber
    EXPECT_EQ(d[18 + 2], 9 + 9 + 14); // wTotalLength
    EXPECT_EQ(d[18 + 4], 1);          // one interface
    EXPECT_EQ(d[27 + 4], 2);          // two endpoints
    EXPECT_EQ(d[36 + 2], 0x81);
    EXPECT_EQ(d[43 + 2], 0x02);
    spec.no_interface = true;
    d = vdev::descriptors_of(spec);
    ASSERT_EQ(d.size(), 18u + 9);
    EXPECT_EQ(d[18 + 4], 0);
}

// The serial's string descriptor, byte by byte from the UTF-8 text.
struct serial_case {
    const char *name;
    std::string text;
    std::vector<std::uint8_t> descriptor;
};

class SerialDescriptors : public testing::TestWithParam<serial_case>
{
};

TEST_P(SerialDescriptors, TextIsUtf16LittleEndian)
{
    EXPECT_EQ(vdev::serial_descriptor(GetParam().text), GetParam().descriptor);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SerialDescriptors,
    testing::Values(
        serial_case{"Empty", "", {2, 3}}, serial_case{"Ascii", "A1", {6, 3, 'A', 0, '1', 0}},
        serial_case{"TwoByteSequence", "s\xC3\xA9-1", {10, 3, 's', 0, 0xE9, 0, '-', 0, '1', 0}},
        serial_case{"ThreeByteSequence", "\xE2\x9C\x93", {4, 3, 0x13, 0x27}},
        serial_case{"SurrogatePair", "\xF0\x9F\x98\x80", {6, 3, 0x3D, 0xD8, 0x00, 0xDE}},
        serial_case{"StrayContinuationByte", "\xA9x", {6, 3, 0xFD, 0xFF, 'x', 0}},
        serial_case{"CutShortAtTheEnd", "x\xE2\x9C", {8, 3, 'x', 0, 0xFD, 0xFF, 0xFD, 0xFF}},
        serial_case{"OverlongForm", "\xC0\xAF", {6, 3, 0xFD, 0xFF, 0xFD, 0xFF}},
        serial_case{
            "EncodedSurrogate", "\xED\xA0\x80", {8, 3, 0xFD, 0xFF, 0xFD, 0xFF, 0xFD, 0xFF}}),
    [](const auto &info) { return std::string(info.param.name); });

// A descriptor holds 126 code units at most (its length is one byte).
TEST(DeviceSpec, LongSerialIsCut)
{
    const std::vector<std::uint8_t> d = vdev::serial_descriptor(std::string(200, 'x'));
    ASSERT_EQ(d.size(), 2u + 2 * 126);
    EXPECT_EQ(d[0], 254);
    EXPECT_EQ(d[1], 3);
    EXPECT_EQ(d[253], 0);
    EXPECT_EQ(d[252], 'x');
}

} // namespace
