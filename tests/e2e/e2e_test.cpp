// End-to-end: the real flasher binary, through the real libusb, against
// virtual devices. Every case checks flasher's exact stdout, stderr and exit
// status, and the devices' account (the wire messages, the pauses, which
// devices were opened and closed).
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

using support::page_lines;
using support::repeat;
using support::vdev_call;
using support::vdev_result;

namespace
{

const std::string &flasher = support::flasher_bin();

std::string ids()
{
    char text[32];
    std::snprintf(text, sizeof text, "%04X:%04X", FLASHER_USB_VID, FLASHER_USB_PID);
    return text;
}

// The account's first lines.
std::string head(int status, const std::string &pauses)
{
    return "flasher-vdev: " + flasher + " exited with status " + std::to_string(status) +
           "\npauses: " + pauses + "\n";
}

std::string device_line(int n, const std::string &serial, const std::string &path,
                        const std::string &vidpid = ids())
{
    return "device " + std::to_string(n) + ": " + vidpid + " serial \"" + serial + "\" usb path " +
           path + "\n";
}

std::string use(int opened, int closed, int serial_reads, bool claimed)
{
    return "  opened " + std::to_string(opened) + ", closed " + std::to_string(closed) +
           ", serial read " + std::to_string(serial_reads) + ", interface 0 " +
           (claimed ? "claimed" : "not claimed") + "\n";
}

const std::string untouched = "  opened 0, closed 0, serial read 0, interface 0 not claimed\n"
                              "  no transfers\n";

const std::string header_bytes = "01 02 03 04 05 06 07 08 09 0A 0B";
const std::string zero_header = "00 00 00 00 00 00 00 00 00 00 00";
const std::string trailer_bytes = "A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF";
const std::string found_1 = "Path: 1-1\nstring desc 6 vdev-1\n";
const std::string retry = "cannot open usb connection, trying again\n";
const std::string give_up = "cannot open usb connection, giving up\n";
const std::string four_retries = retry + retry + retry + retry + give_up;
const std::string erased = "continuing with flashing\nerased\n";

// An image whose bytes are easy to name in expected output: header 01..0B,
// page p byte k = (p * 7 + k) & 0xFF, then `tail` bytes A0, A1, ...
support::bytes make_image(unsigned pages, std::size_t tail)
{
    support::bytes image;
    for (unsigned i = 0; i < 11; ++i)
        image.push_back(static_cast<unsigned char>(i + 1));
    for (unsigned p = 0; p < pages; ++p) {
        for (unsigned k = 0; k < 2048; ++k)
            image.push_back(static_cast<unsigned char>((p * 7 + k) & 0xFF));
    }
    for (std::size_t t = 0; t < tail; ++t)
        image.push_back(static_cast<unsigned char>(0xA0 + t));
    return image;
}

// The start of every erase-and-program run on a healthy device 1.
std::string erase_lines(const std::string &header, const char *code = "erase E1")
{
    return "  #0     " + std::string(code) + ", header " + header +
           "\n         pause 4 s\n  #1     zero byte\n  #2     zero byte\n";
}

std::string transfers(int n, long bytes, const std::string &endpoint = "02")
{
    return "  bulk OUT: endpoint " + endpoint + " " + std::to_string(n) +
           "\n  transfers: " + std::to_string(n) + ", bytes taken: " + std::to_string(bytes) + "\n";
}

const std::string followed = "  protocol: followed\n";

class E2e : public ::testing::Test
{
  protected:
    support::scratch_dir dir;

    vdev_result run(const vdev_call &call)
    {
        return support::run_vdev(dir, call);
    }

    void expect(const vdev_result &r, int status, const std::string &out, const std::string &err,
                const std::string &account)
    {
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.account, account);
    }
};

// ---- the three modes, and how an image's length decides what goes out ----

struct image_case {
    const char *name;
    unsigned pages;
    std::size_t tail;
    std::vector<std::string> args;
    std::string err;
    std::string messages; // account lines from the first page on
    int count;
    long bytes;
    std::string verdict;
};

class ImageCases : public E2e, public ::testing::WithParamInterface<image_case>
{
};

TEST_P(ImageCases, DeviceReceivesWhatTheImageMustPutOnTheWire)
{
    const image_case &c = GetParam();
    dir.write("img.bin", make_image(c.pages, c.tail));
    vdev_call inv{{"--expect-image", "img.bin"}, c.args};
    vdev_result r = run(inv);
    std::string code = c.args.size() > 1 && c.args[1] == "all" ? "erase all E2" : "erase E1";
    expect(r, 0, found_1, erased + c.err,
           head(0, "4 s (returned at once)") + device_line(1, "vdev-1", "1-1") +
               use(1, 0, 1, true) + transfers(c.count, c.bytes) +
               erase_lines(header_bytes, code.c_str()) + c.messages + followed + c.verdict + "\n");
}

// What the check says of a tail that is not a trailer.
std::string unsent_tail(std::size_t bytes)
{
    return "\nnot sent from img.bin: a " + std::to_string(bytes) +
           "-byte tail (not a whole page, not a 16-byte trailer)";
}

// One whole page and no trailer, whatever follows the page.
image_case one_page(const char *name, std::size_t tail, std::vector<std::string> args)
{
    return {name,
            1,
            tail,
            std::move(args),
            page_lines(1),
            "  #3     page 0\n",
            36,
            14 + 2051,
            "received what img.bin puts on the wire: erase E1, 1 page" +
                (tail > 0 ? unsent_tail(tail) : "")};
}

image_case two_pages_and_trailer(const char *name, std::vector<std::string> args,
                                 const std::string &code)
{
    return {name,
            2,
            16,
            std::move(args),
            page_lines(2),
            "  #3     pages 0-1 (2 pages)\n  #69    trailer " + trailer_bytes + "\n",
            70,
            14 + 2 * 2051 + 17,
            "received what img.bin puts on the wire: erase " + code + ", 2 pages, trailer"};
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, ImageCases,
    ::testing::Values(two_pages_and_trailer("TwoPagesAndTrailer", {"img.bin"}, "E1"),
                      one_page("WholePagesNoTrailer", 0, {"img.bin"}),
                      one_page("TwentyByteTailDropped", 20, {"img.bin"}),
                      image_case{"TrailerOnly",
                                 0,
                                 16,
                                 {"img.bin"},
                                 "",
                                 "  #3     trailer " + trailer_bytes + "\n",
                                 4,
                                 14 + 17,
                                 "received what img.bin puts on the wire: erase E1, 0 pages, "
                                 "trailer"},
                      two_pages_and_trailer("AllSetsEraseAll", {"img.bin", "all"}, "E2"),
                      one_page("SerialThenAllIgnoresAll", 0, {"img.bin", "vdev-1", "all"})),
    [](const auto &info) { return std::string(info.param.name); });

// 240 pages is the limit: the 241st page and the trailer after it stay home,
// and the check says so.
TEST_F(E2e, FullImageOf240PagesArrivesAndTheRestIsNamed)
{
    dir.write("img.bin", make_image(241, 16));
    vdev_result r = run({{"--expect-image", "img.bin"}, {"img.bin"}});
    expect(r, 0, found_1, erased + page_lines(240),
           head(0, "4 s (returned at once)") + device_line(1, "vdev-1", "1-1") +
               use(1, 0, 1, true) + transfers(3 + 240 * 33, 14 + 240L * 2051) +
               erase_lines(header_bytes) + "  #3     pages 0-239 (240 pages)\n" + followed +
               "received what img.bin puts on the wire: erase E1, 240 pages\n"
               "not sent from img.bin: page 240 (at most 240 pages go out); the 16-byte "
               "trailer (none goes out after 240 pages)\n");
}

struct short_file_case {
    const char *name;
    std::vector<unsigned char> bytes;
    std::string header;
    std::string unsent; // the check's line on what stays home, if any
};

class ShortFiles : public E2e, public ::testing::WithParamInterface<short_file_case>
{
};

// Files too short for a page: the header is what there is, zero-filled.
TEST_P(ShortFiles, HeaderIsPaddedAndNothingFollows)
{
    const short_file_case &c = GetParam();
    dir.write("img.bin", c.bytes);
    vdev_result r = run({{"--expect-image", "img.bin"}, {"img.bin"}});
    expect(r, 0, found_1, erased,
           head(0, "4 s (returned at once)") + device_line(1, "vdev-1", "1-1") +
               use(1, 0, 1, true) + transfers(3, 14) + erase_lines(c.header) + followed +
               "received what img.bin puts on the wire: erase E1, 0 pages" + c.unsent + "\n");
}

std::vector<unsigned char> counting(std::size_t n)
{
    std::vector<unsigned char> v;
    for (std::size_t i = 0; i < n; ++i)
        v.push_back(static_cast<unsigned char>(i + 1));
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Files, ShortFiles,
    ::testing::Values(short_file_case{"Empty", {}, zero_header, ""},
                      short_file_case{"FiveBytes", counting(5), "01 02 03 04 05 00 00 00 00 00 00",
                                      ""},
                      short_file_case{"Bytes255", counting(255), header_bytes, unsent_tail(244)},
                      short_file_case{"Bytes257", counting(257), header_bytes, unsent_tail(246)}),
    [](const auto &info) { return std::string(info.param.name); });

struct erase_case {
    const char *name;
    std::vector<std::string> args;
    const char *code;
};

class EraseCases : public E2e, public ::testing::WithParamInterface<erase_case>
{
};

TEST_P(EraseCases, EraseSendsNoImage)
{
    const erase_case &c = GetParam();
    vdev_result r = run({{}, c.args});
    expect(r, 0, found_1, erased,
           head(0, "4 s (returned at once)") + device_line(1, "vdev-1", "1-1") +
               use(1, 0, 1, true) + transfers(3, 14) + erase_lines(zero_header, c.code) + followed);
}

INSTANTIATE_TEST_SUITE_P(Forms, EraseCases,
                         ::testing::Values(erase_case{"Erase", {"erase"}, "erase E1"},
                                           erase_case{"EraseAll", {"erase", "all"}, "erase all E2"},
                                           erase_case{
                                               "EraseBySerial", {"erase", "vdev-1"}, "erase E1"}),
                         [](const auto &info) { return std::string(info.param.name); });

std::vector<unsigned char> params_block()
{
    std::vector<unsigned char> v;
    for (unsigned i = 0; i < 256; ++i)
        v.push_back(static_cast<unsigned char>(255 - i));
    return v;
}

struct params_case {
    const char *name;
    std::vector<std::string> args;
};

class ParamsCases : public E2e, public ::testing::WithParamInterface<params_case>
{
};

// A 256-byte file is a parameter block: announcement, block, nothing else,
// and no pause. "all" changes nothing.
TEST_P(ParamsCases, UploadsTheBlock)
{
    dir.write("params.bin", params_block());
    vdev_result r = run({{"--expect-params", "params.bin"}, GetParam().args});
    expect(r, 0, found_1, "",
           head(0, "none") + device_line(1, "vdev-1", "1-1") + use(1, 0, 1, true) +
               transfers(2, 257) +
               "  #0     parameter announcement E8\n  #1     parameter block, 256 bytes\n" +
               followed + "received what params.bin puts on the wire: parameter block\n");
}

INSTANTIATE_TEST_SUITE_P(Forms, ParamsCases,
                         ::testing::Values(params_case{"Plain", {"params.bin"}},
                                           params_case{"AllAndSerial",
                                                       {"params.bin", "all", "vdev-1"}}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- argument errors: nothing touches USB ----

TEST_F(E2e, NoArgumentsPrintsBothUsageLines)
{
    vdev_result r = run({{}, {}});
    expect(r, 1, "",
           "Usage: " + flasher + " signed_firmware.bin | params [all] [serial]\nUsage: " + flasher +
               " erase [all] [serial]\n",
           head(1, "none") + device_line(1, "vdev-1", "1-1") + untouched);
}

TEST_F(E2e, MissingFileIsReportedWithoutUsbActivity)
{
    for (const char *name : {"missing.bin", "ERASE", "Erase"}) {
        vdev_result r = run({{}, {name}});
        expect(r, 1, "", std::string("cannot open firmware ") + name + "\n",
               head(1, "none") + device_line(1, "vdev-1", "1-1") + untouched);
    }
}

// "ALL" is not "all": it is taken as the serial, which no device has.
TEST_F(E2e, UpperCaseAllIsASerial)
{
    dir.write("img.bin", make_image(1, 0));
    vdev_result r = run({{}, {"img.bin", "ALL"}});
    expect(r, 1, repeat(found_1, 4), four_retries,
           head(1, "1 s, 1 s, 1 s, 1 s (returned at once)") + device_line(1, "vdev-1", "1-1") +
               use(4, 4, 4, false) + "  no transfers\n");
}

// ---- selection among several devices ----

// Three devices A, B and C at 1-1, 1-2 and 1-3. libusb lists them last name
// first, so C is examined first.
const std::vector<std::string> three_devices = {"--device", "serial=A,path=1-1",
                                                "--device", "serial=B,path=1-2",
                                                "--device", "serial=C,path=1-3"};

std::string three(const std::string &a, const std::string &b, const std::string &c)
{
    return device_line(1, "A", "1-1") + a + device_line(2, "B", "1-2") + b +
           device_line(3, "C", "1-3") + c;
}

std::string erase_only_account()
{
    return transfers(3, 14) + erase_lines(zero_header) + followed;
}

TEST_F(E2e, SerialSelectsAndRejectedDevicesAreClosed)
{
    vdev_result r = run({three_devices, {"erase", "B"}});
    expect(r, 0, "Path: 1-3\nstring desc 1 C\nPath: 1-2\nstring desc 1 B\n", erased,
           head(0, "4 s (returned at once)") + three(untouched,
                                                     use(1, 0, 1, true) + erase_only_account(),
                                                     use(1, 1, 1, false) + "  no transfers\n"));
}

TEST_F(E2e, UsbPathSelectsWithoutOpeningOthers)
{
    vdev_call inv{three_devices, {"erase"}, "1-1"};
    vdev_result r = run(inv);
    expect(r, 0, "Path: 1-3\nPath: 1-2\nPath: 1-1\nstring desc 1 A\n", erased,
           head(0, "4 s (returned at once)") +
               three(use(1, 0, 1, true) + erase_only_account(), untouched, untouched));
}

TEST_F(E2e, UsbPathAndSerialMustBothMatch)
{
    vdev_call inv{three_devices, {"erase", "B"}, "1-1"};
    vdev_result r = run(inv);
    expect(r, 1, repeat("Path: 1-3\nPath: 1-2\nPath: 1-1\nstring desc 1 A\n", 4), four_retries,
           head(1, "1 s, 1 s, 1 s, 1 s (returned at once)") +
               three(use(4, 4, 4, false) + "  no transfers\n", untouched, untouched));
}

TEST_F(E2e, EmptyUsbPathMatchesNothing)
{
    vdev_call inv{three_devices, {"erase"}, ""};
    vdev_result r = run(inv);
    expect(r, 1, repeat("Path: 1-3\nPath: 1-2\nPath: 1-1\n", 4), four_retries,
           head(1, "1 s, 1 s, 1 s, 1 s (returned at once)") +
               three(untouched, untouched, untouched));
}

// Paths behind hubs, and a device with no port numbers (the bus alone).
TEST_F(E2e, UsbPathsThroughHubs)
{
    std::vector<std::string> devices = {"--device", "serial=X,path=20-1.2",
                                        "--device", "serial=Y,path=3",
                                        "--device", "serial=Z,path=2-4.1.3"};
    for (const char *path : {"20-1.2", "3", "2-4.1.3"}) {
        vdev_call inv{devices, {"erase"}, path};
        vdev_result r = run(inv);
        std::string serial = path == std::string("20-1.2") ? "X" : path[0] == '3' ? "Y" : "Z";
        std::string out;
        for (const char *listed : {"3", "20-1.2", "2-4.1.3"}) {
            out += std::string("Path: ") + listed + "\n";
            if (std::string(listed) == path) {
                out += "string desc 1 " + serial + "\n";
                break;
            }
        }
        EXPECT_EQ(r.status, 0) << path;
        EXPECT_EQ(r.out, out) << path;
        EXPECT_EQ(r.err, erased) << path;
    }
}

// The empty serial selects only a device whose serial is empty.
TEST_F(E2e, EmptySerialSelectsEmptySerial)
{
    vdev_result r = run({{"--device", "serial=X,path=1-1", "--device", "serial=,path=1-2",
                          "--device", "serial=Y,path=1-3"},
                         {"erase", ""}});
    expect(r, 0, "Path: 1-3\nstring desc 1 Y\nPath: 1-2\nstring desc 0 \n", erased,
           head(0, "4 s (returned at once)") + device_line(1, "X", "1-1") + untouched +
               device_line(2, "", "1-2") + use(1, 0, 1, true) + erase_only_account() +
               device_line(3, "Y", "1-3") + use(1, 1, 1, false) + "  no transfers\n");
}

// A serial that cannot be read prints the libusb error code (pipe error).
TEST_F(E2e, UnreadableSerialPrintsTheErrorAndIsPassedOver)
{
    vdev_result r =
        run({{"--device", "serial=A,path=1-1", "--device", "serial=B,path=1-2,serial-fails"},
             {"erase", "A"}});
    expect(r, 0, "Path: 1-2\nstring desc -9 \nPath: 1-1\nstring desc 1 A\n", erased,
           head(0, "4 s (returned at once)") + device_line(1, "A", "1-1") + use(1, 0, 1, true) +
               erase_only_account() + device_line(2, "B", "1-2") + use(1, 1, 1, false) +
               "  no transfers\n");
}

// Without a selector an unreadable serial does not matter.
TEST_F(E2e, UnreadableSerialWithoutSelector)
{
    vdev_result r = run({{"--device", "serial-fails"}, {"erase"}});
    expect(r, 0, "Path: 1-1\nstring desc -9 \n", erased,
           head(0, "4 s (returned at once)") + device_line(1, "vdev-1", "1-1") +
               use(1, 0, 1, true) + erase_only_account());
}

// ---- which device checks skip a device and which fail the attempt ----

struct check_case {
    const char *name;
    const char *fault; // on device 2 (1-2), examined before device 1 (1-1)
    bool skipped;
    bool opened; // the faulty device got as far as libusb_open
};

class DeviceChecks : public E2e, public ::testing::WithParamInterface<check_case>
{
};

TEST_P(DeviceChecks, SkipOrFail)
{
    const check_case &c = GetParam();
    vdev_result r =
        run({{"--device", "path=1-1", "--device", std::string("path=1-2,") + c.fault}, {"erase"}});
    std::string bad = device_line(2, "vdev-2", "1-2") + untouched;
    if (c.skipped) {
        expect(r, 0, "Path: 1-2\n" + found_1, erased,
               head(0, "4 s (returned at once)") + device_line(1, "vdev-1", "1-1") +
                   use(1, 0, 1, true) + erase_only_account() + bad);
    } else {
        // The healthy device is never examined.
        expect(r, 1, "Path: 1-2\nPath: 1-2\nPath: 1-2\nPath: 1-2\n", four_retries,
               head(1, "1 s, 1 s, 1 s, 1 s (returned at once)") + device_line(1, "vdev-1", "1-1") +
                   untouched + bad);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, DeviceChecks,
                         ::testing::Values(check_case{"Unconfigured", "unconfigured", true, false},
                                           check_case{"CannotBeOpened", "no-open", true, false},
                                           check_case{"NoInterface", "no-interface", false, false},
                                           check_case{"NoOutEndpoint", "no-out", false, false},
                                           check_case{"OnlyInEndpoints", "endpoints=81:82", false,
                                                      false}),
                         [](const auto &info) { return std::string(info.param.name); });

// Only the table's IDs count: a device with another product ID is not listed.
TEST_F(E2e, OtherProductIdIsIgnored)
{
    char pid[32];
    std::snprintf(pid, sizeof pid, "pid=%04X", (FLASHER_USB_PID + 1) & 0xFFFF);
    vdev_result r =
        run({{"--device", "path=1-1", "--device", std::string(pid) + ",path=1-2"}, {"erase"}});
    char other[32];
    std::snprintf(other, sizeof other, "%04X:%04X", FLASHER_USB_VID,
                  (FLASHER_USB_PID + 1) & 0xFFFF);
    expect(r, 0, found_1, erased,
           head(0, "4 s (returned at once)") + device_line(1, "vdev-1", "1-1") +
               use(1, 0, 1, true) + erase_only_account() + device_line(2, "vdev-2", "1-2", other) +
               untouched);
}

TEST_F(E2e, LastOutEndpointWins)
{
    vdev_result r = run({{"--device", "endpoints=01:81:04:83:03:82"}, {"erase"}});
    expect(r, 0, found_1, erased,
           head(0, "4 s (returned at once)") + device_line(1, "vdev-1", "1-1") +
               use(1, 0, 1, true) + transfers(3, 14, "03") + erase_lines(zero_header) + followed);
}

// ---- failures: the right message, and nothing sent after it ----

struct failure_case {
    const char *name;
    const char *fault;
    int status;
    std::string err_after_erase; // stderr after "continuing ... erased"
    std::string pauses;
    std::string messages; // account lines from #0 on
    int count;
    long bytes;
};

class Failures : public E2e, public ::testing::WithParamInterface<failure_case>
{
};

TEST_P(Failures, ReportedAndNothingFollows)
{
    const failure_case &c = GetParam();
    dir.write("img.bin", make_image(2, 16));
    vdev_result r = run({{"--device", c.fault}, {"img.bin"}});
    expect(r, c.status, found_1, erased + c.err_after_erase,
           head(c.status, c.pauses) + device_line(1, "vdev-1", "1-1") + use(1, 0, 1, true) +
               transfers(c.count, c.bytes) + c.messages + followed);
}

const std::string settled = "         pause 4 s\n  #1     zero byte\n  #2     zero byte\n";
const std::string erase_ok = "  #0     erase E1, header " + header_bytes + "\n" + settled;

INSTANTIATE_TEST_SUITE_P(
    Programming, Failures,
    ::testing::Values(
        failure_case{"EraseStalls", "stall=0", 1, "erase error\n", "none",
                     "  #0     erase E1, header " + header_bytes +
                         ": stalled (0 of 12 bytes taken)\n",
                     1, 0},
        failure_case{"EraseShort", "short=0:11", 1, "erase error\n", "none",
                     "  #0     erase E1, header " + header_bytes +
                         ": short (11 of 12 bytes taken)\n",
                     1, 11},
        failure_case{"PageHeaderStalls", "stall=3", 1, "error during flashing\n",
                     "4 s (returned at once)",
                     erase_ok + "  #3     page 0 header: stalled (0 of 3 bytes taken)\n", 4, 14},
        // A real libusb time-out: the chunk is never taken and libusb gives
        // up after its 1000 ms.
        failure_case{"ChunkTimesOut", "timeout=37", 1, "page: 0  \nerror during flashing\n",
                     "4 s (returned at once)",
                     erase_ok + "  #3     page 0\n  #36    page 1: 0 of 32 chunks, chunk 0 (#37): "
                                "timed out (0 of 64 bytes taken)\n",
                     38, 14 + 2051 + 3},
        failure_case{"UnpluggedMidImage", "gone=50", 1, "page: 0  \nerror during flashing\n",
                     "4 s (returned at once)",
                     erase_ok +
                         "  #3     page 0\n  #36    page 1: 13 of 32 chunks, chunk 13 (#50): "
                         "gone (0 of 64 bytes taken)\n",
                     51, 14 + 2051 + 3 + 13 * 64},
        failure_case{"ChunkShort", "short=20:63", 1, "error during flashing\n",
                     "4 s (returned at once)",
                     erase_ok + "  #3     page 0: 16 of 32 chunks, chunk 16 (#20): short (63 of "
                                "64 bytes taken)\n",
                     21, 14 + 3 + 16 * 64 + 63},
        // The zero bytes and the trailer are not judged.
        failure_case{"ZeroByteStallIgnored", "stall=1", 0, page_lines(2), "4 s (returned at once)",
                     "  #0     erase E1, header " + header_bytes +
                         "\n         pause 4 s\n  #1     zero byte: stalled (0 of 1 bytes "
                         "taken)\n  #2     zero byte\n  #3     pages 0-1 (2 pages)\n  #69    "
                         "trailer " +
                         trailer_bytes + "\n",
                     70, 13 + 2 * 2051 + 17},
        failure_case{"TrailerStallIgnored", "stall=69", 0, page_lines(2), "4 s (returned at once)",
                     erase_ok + "  #3     pages 0-1 (2 pages)\n  #69    trailer " + trailer_bytes +
                         ": stalled (0 of 17 bytes taken)\n",
                     70, 14 + 2 * 2051}),
    [](const auto &info) { return std::string(info.param.name); });

struct params_failure_case {
    const char *name;
    const char *fault;
    std::string err;
    std::string messages;
    int count;
    long bytes;
};

class ParamsFailures : public E2e, public ::testing::WithParamInterface<params_failure_case>
{
};

TEST_P(ParamsFailures, ReportedAndNothingFollows)
{
    const params_failure_case &c = GetParam();
    dir.write("params.bin", params_block());
    vdev_result r = run({{"--device", c.fault}, {"params.bin"}});
    expect(r, 1, found_1, c.err,
           head(1, "none") + device_line(1, "vdev-1", "1-1") + use(1, 0, 1, true) +
               transfers(c.count, c.bytes) + c.messages + followed);
}

INSTANTIATE_TEST_SUITE_P(
    Upload, ParamsFailures,
    ::testing::Values(
        params_failure_case{"AnnouncementStalls", "stall=0", "write error\n",
                            "  #0     parameter announcement E8: stalled (0 of 1 bytes taken)\n", 1,
                            0},
        params_failure_case{"BlockShort", "short=1:255", "error writing parameters\n",
                            "  #0     parameter announcement E8\n  #1     parameter block, 256 "
                            "bytes: short (255 of 256 bytes taken)\n",
                            2, 256},
        params_failure_case{"UnpluggedBeforeBlock", "gone=1", "error writing parameters\n",
                            "  #0     parameter announcement E8\n  #1     parameter block, 256 "
                            "bytes: gone (0 of 256 bytes taken)\n",
                            2, 1}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- pauses ----

TEST_F(E2e, NoDeviceRetriesFourTimesWithOneSecondPauses)
{
    vdev_result r = run({{"--device", "vid=0001"}, {"erase"}});
    expect(r, 1, "", four_retries,
           head(1, "1 s, 1 s, 1 s, 1 s (returned at once)") +
               device_line(1, "vdev-1", "1-1", "0001:" + ids().substr(5)) + untouched);
}

// Several flashers at once under one flasher-vdev, as a gang programmer runs
// them: each process reports over its own connection, so every pause is
// answered as asked (a real 4 s or 1 s pause would trip the 3 s `timeout`)
// and lands only in the account of the device that process holds. The third
// process pins a path no device has and gives up after four 1 s pauses,
// which belong to no device.
TEST_F(E2e, ParallelProcessesEachGetTheirOwnAnswers)
{
    dir.write("img.bin", make_image(2, 16));
    const std::string script =
        "f=$1\n"
        "FLASHER_USBPATH=1-1 timeout 3 \"$f\" erase >a.out 2>a.err & a=$!\n"
        "FLASHER_USBPATH=1-2 timeout 3 \"$f\" img.bin >b.out 2>b.err & b=$!\n"
        "FLASHER_USBPATH=9-9 timeout 3 \"$f\" erase >c.out 2>c.err & c=$!\n"
        "wait $a; s=$?; wait $b; s=\"$s $?\"; wait $c; echo \"$s $?\"\n";
    vdev_call inv{{"--device", "path=1-1", "--device", "path=1-2"}};
    inv.wrapper = {"/bin/bash", "-c", script, "gang"};
    vdev_result r = run(inv);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0 0 1\n");
    EXPECT_EQ(support::read_text(dir.file("a.out")),
              "Path: 1-2\nPath: 1-1\nstring desc 6 vdev-1\n");
    EXPECT_EQ(support::read_text(dir.file("a.err")), erased);
    EXPECT_EQ(support::read_text(dir.file("b.out")), "Path: 1-2\nstring desc 6 vdev-2\n");
    EXPECT_EQ(support::read_text(dir.file("b.err")), erased + page_lines(2));
    EXPECT_EQ(support::read_text(dir.file("c.out")), repeat("Path: 1-2\nPath: 1-1\n", 4));
    EXPECT_EQ(support::read_text(dir.file("c.err")), four_retries);

    // The pauses of all three, in whatever order they came.
    EXPECT_TRUE(r.account.starts_with("flasher-vdev: /bin/bash exited with status 0\n"));
    const std::string pauses_at = "\npauses: ";
    const std::size_t from = r.account.find(pauses_at);
    ASSERT_NE(from, std::string::npos) << r.account;
    const std::size_t to = r.account.find('\n', from + 1);
    std::vector<std::string> pauses;
    std::string line = r.account.substr(from + pauses_at.size(), to - from - pauses_at.size());
    const std::string at_once = " (returned at once)";
    ASSERT_TRUE(line.ends_with(at_once)) << line;
    line.resize(line.size() - at_once.size());
    for (std::size_t at = 0; at <= line.size();) {
        const std::size_t comma = std::min(line.find(", ", at), line.size());
        pauses.push_back(line.substr(at, comma - at));
        at = comma + 2;
    }
    std::sort(pauses.begin(), pauses.end());
    EXPECT_EQ(pauses, (std::vector<std::string>{"1 s", "1 s", "1 s", "1 s", "4 s", "4 s"}));
    EXPECT_EQ(r.account.substr(to + 1), device_line(1, "vdev-1", "1-1") + use(1, 0, 1, true) +
                                            erase_only_account() + device_line(2, "vdev-2", "1-2") +
                                            use(1, 0, 1, true) + transfers(70, 14 + 2 * 2051 + 17) +
                                            erase_lines(header_bytes) +
                                            "  #3     pages 0-1 (2 pages)\n  #69    trailer " +
                                            trailer_bytes + "\n" + followed);
}

// The one test that waits on a real pause: without --fast-pauses the 4 s
// after the erase is slept for real.
TEST_F(E2e, PausesAreRealByDefault)
{
    vdev_call inv{{}, {"erase"}};
    inv.fast_pauses = false;
    auto start = std::chrono::steady_clock::now();
    vdev_result r = run(inv);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(3900));
    expect(r, 0, found_1, erased,
           head(0, "4 s") + device_line(1, "vdev-1", "1-1") + use(1, 0, 1, true) +
               erase_only_account());
}

// ---- flasher-vdev itself ----

TEST_F(E2e, MismatchHasItsOwnExitStatus)
{
    dir.write("img.bin", make_image(2, 16));
    std::vector<unsigned char> other = make_image(2, 16);
    other[11 + 2048 + 64] ^= 0xFF; // page 1, chunk 1, byte 0
    dir.write("other.bin", other);
    vdev_result r = run({{"--expect-image", "other.bin"}, {"img.bin"}});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, erased + page_lines(2));
    std::string tail = "differs from other.bin:\n#38: page 1 chunk 1 byte 0 is 47, expected B8\n";
    ASSERT_GE(r.account.size(), tail.size());
    EXPECT_EQ(r.account.substr(r.account.size() - tail.size()), tail);
}

TEST_F(E2e, JsonAccount)
{
    vdev_result r = run({{"--json"}, {"erase", "all"}});
    EXPECT_EQ(r.status, 0);
    char ids_json[64];
    std::snprintf(ids_json, sizeof ids_json, "\"vid\":\"%04X\",\"pid\":\"%04X\"", FLASHER_USB_VID,
                  FLASHER_USB_PID);
    EXPECT_EQ(r.account,
              std::string("{\"command_status\":0,\"fast_pauses\":true,\"pauses\":[4],\"devices\":[{"
                          "\"device\":1,") +
                  ids_json +
                  ",\"usb_path\":\"1-1\",\"opened\":1,\"closed\":0,\"serial_reads\":1,"
                  "\"claimed\":true,\"endpoints\":{\"02\":3},\"account\":{\"transfers\":3,"
                  "\"bytes_taken\":14,\"follows_protocol\":true,\"messages\":[{\"kind\":"
                  "\"erase\",\"transfer\":0,\"code\":\"E2\",\"header\":"
                  "\"0000000000000000000000\",\"outcome\":\"completed\",\"length\":12,"
                  "\"taken\":12},{\"kind\":\"pause\",\"seconds\":4},{\"kind\":\"zero_byte\","
                  "\"transfer\":1,\"outcome\":\"completed\",\"length\":1,\"taken\":1},{\"kind\":"
                  "\"zero_byte\",\"transfer\":2,\"outcome\":\"completed\",\"length\":1,"
                  "\"taken\":1}],\"problems\":[]}}]}\n");
}

struct refusal_case {
    const char *name;
    std::vector<std::string> args;
    std::string first_line;
    bool usage; // the usage text follows the first line
};

class VdevRefusals : public E2e, public ::testing::WithParamInterface<refusal_case>
{
};

// Bad options, and files that would fail only after the device had been
// erased, stop flasher-vdev with status 2 before the command starts.
TEST_P(VdevRefusals, ExitTwoBeforeTheCommandStarts)
{
    const refusal_case &c = GetParam();
    dir.write("short.bin", support::bytes(5));
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
    std::vector<std::string> argv = {support::vdev_bin()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    vdev_result r = support::run_command(dir, argv);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), c.first_line);
    if (!c.usage) {
        EXPECT_EQ(r.err, c.first_line);
    }
    EXPECT_EQ(r.err.find("\nUsage: flasher-vdev [options] -- COMMAND [ARGS...]\n") ==
                  c.first_line.size() - 1,
              c.usage)
        << r.err;
    EXPECT_EQ(support::read_text(dir.file("ran")), "(missing)");
}

// `options` followed by a command that leaves a file "ran" behind.
std::vector<std::string> then_command(std::vector<std::string> options)
{
    options.insert(options.end(), {"--", "/bin/sh", "-c", "echo ran >ran"});
    return options;
}

refusal_case bad_option(const char *name, std::vector<std::string> args, const std::string &what)
{
    return {name, std::move(args), "flasher-vdev: " + what + "\n", true};
}

refusal_case bad_file(const char *name, std::vector<std::string> options, const std::string &what)
{
    return {name, then_command(std::move(options)), "flasher-vdev: " + what + "\n", false};
}

INSTANTIATE_TEST_SUITE_P(
    Options, VdevRefusals,
    ::testing::Values(
        bad_option("Unknown", then_command({"--bogus"}), "unknown option --bogus"),
        bad_option("NoCommand", {"--fast-pauses", "--"}, "no command given after --"),
        bad_option("NoSeparator", {"build/flasher", "erase"},
                   "build/flasher is not an option: put -- before the command"),
        bad_option("MissingValue", {"--device"}, "--device needs a SPEC"),
        bad_option("DeviceBeforeSeparator", then_command({"--device"}), "--device needs a SPEC"),
        bad_option("AccountBeforeOption", then_command({"--account", "--json"}),
                   "--account needs a FILE"),
        bad_option("BadVid", then_command({"--device", "vid=xyz"}), "bad device setting 'vid=xyz'"),
        bad_option("BadPath", then_command({"--device", "path=1-0"}),
                   "bad device setting 'path=1-0'"),
        bad_option("BadFault", then_command({"--device", "short=3"}),
                   "bad device setting 'short=3'"),
        bad_option("BothExpectations",
                   then_command({"--expect-image", "short.bin", "--expect-params", "short.bin"}),
                   "give --expect-image or --expect-params, not both"),
        bad_file("MissingImage", {"--expect-image", "nope.bin"},
                 "cannot read nope.bin: No such file or directory"),
        bad_file("ImageIsADirectory", {"--expect-image", "sub"}, "cannot read sub: Is a directory"),
        bad_file("ParamsOfWrongSize", {"--expect-params", "short.bin"},
                 "short.bin is 5 bytes, not a 256-byte parameter file"),
        bad_file("AccountInMissingDirectory", {"--account", "no/such/account.txt"},
                 "cannot write no/such/account.txt: No such file or directory"),
        bad_file("AccountIsADirectory", {"--account", "sub"}, "cannot write sub: Is a directory"),
        bad_file("DevicesThatClash", {"--device", "path=1-1", "--device", "path=1-1"},
                 "two devices at usb path 1-1")),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(E2e, CommandThatCannotStart)
{
    vdev_result r = support::run_command(dir, {support::vdev_bin(), "--", "/nonexistent/command"});
    EXPECT_EQ(r.status, 127);
    EXPECT_EQ(r.err,
              "flasher-vdev: cannot start /nonexistent/command: No such file or directory\n");
}

TEST_F(E2e, CommandStatusAndOutputPassThrough)
{
    vdev_result r =
        support::run_command(dir, {support::vdev_bin(), "--account", dir.file("a.txt"), "--",
                                   "/bin/sh", "-c", "echo out; echo err >&2; exit 7"});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");
}

} // namespace
