// Bad input through the real flasher and the virtual device: inputs that are
// not plain files, files of odd sizes, names and serials that are odd or too
// long, and a FLASHER_USBPATH longer than any usb path. (A directory, a
// missing file, huge arguments and a parameter file that changes length are
// in the front end's unit tests.)
#include "support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

using namespace support;

namespace
{

const std::string device_lines = "Path: 1-1\nstring desc 6 vdev-1\n";
const std::string started = "continuing with flashing\nerased\n";
const std::string trying = "cannot open usb connection, trying again\n";
const std::string giving_up =
    trying + trying + trying + trying + "cannot open usb connection, giving up\n";

class BadInput : public testing::Test
{
  protected:
    scratch_dir dir;

    vdev_result run(vdev_call call) const
    {
        call.json = true;
        return run_vdev(dir, call);
    }

    // A 5-page image with a trailer into a device that takes 3 ms a
    // transfer, flasher started by `wrapper`; the image is checked.
    vdev_result run_slowly_through(std::vector<std::string> wrapper) const
    {
        const std::string path = dir.write("image.bin", pattern(11 + 5 * 2048 + 16));
        return run({.command = {path},
                    .devices = {"service-us=3000"},
                    .expect_image = path,
                    .wrapper = std::move(wrapper)});
    }
};

// A firmware image piped in through a FIFO: its size cannot be told, so it
// is an image, and it arrives whole. A 256-byte block through a FIFO is
// therefore an image too: an erase with its first 11 bytes, and no page.
TEST_F(BadInput, FifoWithAnImagePipedIn)
{
    struct {
        const char *what;
        std::size_t size;
        unsigned pages;
        long transfers;
    } cases[] = {
        {"two pages and a trailer", 11 + 2 * 2048 + 16, 2, 3 + 2 * 33 + 1},
        {"256 bytes", 256, 0, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const auto image = pattern(c.size);
        const std::string expected = dir.write("expected.bin", image);
        const std::string fifo = dir.file("image.fifo");
        unlink(fifo.c_str());
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        std::thread writer([&] {
            const int fd = open(fifo.c_str(), O_WRONLY);
            if (fd >= 0) {
                (void)!write(fd, image.data(), image.size());
                close(fd);
            }
        });
        const vdev_result r =
            run({.command = {fifo}, .expect_image = c.size == 256 ? "" : expected});
        writer.join();
        EXPECT_EQ(r.status, 0) << r.account;
        EXPECT_EQ(r.err, started + page_lines(c.pages));
        EXPECT_EQ(json_number(r.account, "transfers"), c.transfers);
        if (c.size == 256) {
            char header[23];
            for (std::size_t i = 0; i < 11; ++i)
                std::snprintf(header + 2 * i, 3, "%02X", image[i]);
            EXPECT_NE(r.account.find(std::string("\"code\":\"E1\",\"header\":\"") + header + "\""),
                      std::string::npos)
                << r.account;
        }
    }
}

// A file that opens but cannot be read, and names that cannot be opened:
// the one line, status 1, and the device is never looked for.
TEST_F(BadInput, InputsThatCannotBeRead)
{
    const std::string long_component(256, 'n'); // one more than a file name may have
    struct {
        const char *what;
        std::string path;
    } cases[] = {
        {"opens but every read fails", "/proc/self/mem"},
        {"a name component too long", dir.file(long_component)},
        {"a non-ASCII name that is not there", dir.file("fïrmwäre-✓.bin")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const vdev_result r = run({.command = {c.path, "all"}});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "cannot open firmware " + c.path + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(json_number(r.account, "opened"), 0);
        EXPECT_EQ(json_number(r.account, "transfers"), 0);
    }
}

// Odd but valid names reach the device intact.
TEST_F(BadInput, NonAsciiAndVeryLongFileNames)
{
    std::string deep = dir.path();
    for (int i = 0; i < 12; ++i) { // past 3000 characters, each part at the 255 limit
        deep += "/" + std::string(255, static_cast<char>('a' + i));
        ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    }
    const auto image = pattern(11 + 2048 + 16);
    const std::string names[] = {dir.write("fïrmwäre-✓ 名前.bin", image),
                                 dir.write(" leading space and\ttab", image), deep + "/image.bin"};
    dir.write(deep.substr(dir.path().size() + 1) + "/image.bin", image);
    for (const auto &name : names) {
        SCOPED_TRACE(name.substr(0, 80));
        const vdev_result r = run({.command = {name}, .expect_image = name});
        EXPECT_EQ(r.status, 0) << r.account;
        EXPECT_EQ(r.err, started + page_lines(1));
        EXPECT_EQ(json_number(r.account, "transfers"), 3 + 33 + 1);
    }
}

// Endless or huge images: exactly 240 pages, then nothing more is read or
// sent (no trailer). A sparse file just over 4 GiB is an image, not a
// parameter file, whatever its size modulo 2^32.
TEST_F(BadInput, EndlessAndHugeImagesStopAt240Pages)
{
    const std::string sparse = dir.file("sparse.bin");
    {
        const int fd = open(sparse.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        const unsigned char header[11] = {0xAB, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xCD};
        ASSERT_EQ(write(fd, header, sizeof header), 11);
        ASSERT_EQ(ftruncate(fd, (off_t{1} << 32) + 256), 0);
        close(fd);
    }
    struct {
        std::string path;
        const char *header;
    } cases[] = {
        {"/dev/zero", "0000000000000000000000"},
        {sparse, "AB010203040506070809CD"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        const vdev_result r = run({.command = {c.path, "all"}});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, started + page_lines(240));
        EXPECT_EQ(json_number(r.account, "transfers"), 3 + 240 * 33);
        EXPECT_NE(r.account.find(std::string("\"code\":\"E2\",\"header\":\"") + c.header + "\""),
                  std::string::npos);
        EXPECT_EQ(r.account.find("\"kind\":\"trailer\""), std::string::npos);
        EXPECT_NE(r.account.find("\"follows_protocol\":true"), std::string::npos);
    }
}

// Serials that are odd or too long. The device's serial is read into 80
// bytes, so at most its first 79 characters can be compared; and libusb
// reads it as ASCII, each other character a '?', so a non-ASCII serial
// matches only as it was read.
TEST_F(BadInput, OddAndLongSerials)
{
    const std::string hundred = repeat("0123456789", 10);
    struct {
        const char *what;
        std::string device_serial;
        std::string argument;
        bool selected;
        std::string shown{}; // the serial as flasher prints it, when checked
    } cases[] = {
        {"a 10000-character argument", "vdev-1", std::string(10000, 'S'), false},
        {"a long device serial, given whole", hundred, hundred, false},
        {"a long device serial, its first 79 characters", hundred, hundred.substr(0, 79), true},
        {"a long device serial, its first 80 characters", hundred, hundred.substr(0, 80), false},
        {"a non-ASCII serial", "sé-1", "sé-1", false, "s?-1"},
        {"a non-ASCII serial as libusb reads it", "sé-1", "s?-1", true, "s?-1"},
        {"a non-ASCII argument", "vdev-1", "vdev-1✓", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const vdev_result r = run(
            {.command = {"erase", "all", c.argument}, .devices = {"serial=" + c.device_serial}});
        EXPECT_EQ(r.status, c.selected ? 0 : 1);
        EXPECT_EQ(r.err, c.selected ? started : giving_up);
        EXPECT_EQ(json_number(r.account, "transfers"), c.selected ? 3 : 0);
        // Every attempt read the serial and printed what it read.
        EXPECT_EQ(json_number(r.account, "serial_reads"), c.selected ? 1 : 4);
        if (!c.shown.empty()) {
            EXPECT_EQ(r.out,
                      repeat("Path: 1-1\nstring desc 4 " + c.shown + "\n", c.selected ? 1 : 4));
        }
    }
}

// The reader of the program's output goes away half-way through (as in
// "flasher image.bin 2>&1 | head -n 4"). The lines are lost, but the device
// still gets the whole image and the status tells how the programming went:
// the program is not killed by SIGPIPE with the device half-programmed.
// (flasher-vdev gives its command the default signals a shell would; each
// transfer takes 3 ms, so the reader is long gone when the first page line
// is written.)
TEST_F(BadInput, OutputPipeClosedHalfWay)
{
    const vdev_result r = run_slowly_through(
        {"/bin/bash", "-c", "set -o pipefail; \"$@\" 2>&1 | head -n 4 >/dev/null", "pipe"});
    EXPECT_EQ(json_number(r.account, "command_status"), 0);
    EXPECT_EQ(json_number(r.account, "transfers"), 3 + 5 * 33 + 1);
    EXPECT_EQ(r.status, 0) << r.account;
}

// FLASHER_USBPATH longer than any usb path (the path text has 128 bytes at
// most) never matches: four attempts, then "giving up".
TEST_F(BadInput, UsbPathLongerThanAnyUsbPath)
{
    const std::string longest = "1-" + repeat("255.", 31) + "255"; // 8 ports could not reach it
    const std::string values[] = {longest, longest + "1", std::string(100000, '1'),
                                  "1-1" + std::string(200, ' ')};
    for (const auto &value : values) {
        SCOPED_TRACE(value.size());
        const vdev_result r = run({.command = {"erase"}, .usb_path = value});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, giving_up);
        EXPECT_EQ(r.out, repeat("Path: 1-1\n", 4));
        EXPECT_EQ(json_number(r.account, "opened"), 0);
        EXPECT_EQ(json_numbers(r.account, "pauses"), (std::vector<long>{1, 1, 1, 1}));
    }
}

} // namespace

// Started with its standard streams closed, flasher puts /dev/null on them
// before it opens anything, so neither the image nor libusb's descriptors
// take descriptors 0 to 2 and receive the lines meant for the user. The
// descriptors are read while the device is open (each transfer takes 3 ms).
TEST_F(BadInput, ClosedStandardStreamsGetDevNull)
{
    const vdev_result r =
        run_slowly_through({"/bin/bash", "-c",
                            "\"$@\" <&- >&- 2>&- & pid=$!\n"
                            "for i in $(seq 500); do\n"
                            "  ls -l /proc/$pid/fd 2>/dev/null | grep -q /dev/bus/usb/ && break\n"
                            "  sleep 0.01\n"
                            "done\n"
                            "readlink /proc/$pid/fd/0 /proc/$pid/fd/1 /proc/$pid/fd/2 >fds.txt\n"
                            "wait $pid",
                            "closed"});
    EXPECT_EQ(read_text(dir.file("fds.txt")), "/dev/null\n/dev/null\n/dev/null\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0) << r.account;
}
