// flasher-gang against several virtual devices at once: every device gets
// its own whole image, a device that fails is named with the line that runs
// it again, and an interrupt stops every flasher and names the devices left
// half-written.
#include "support.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

using namespace support;

namespace
{

const std::string gang = FLASHER_GANG_BIN;

class Gang : public testing::Test
{
  protected:
    scratch_dir dir;
    std::string image = dir.write("image.bin", pattern(11 + 3 * 2048 + 16));

    vdev_result run(std::vector<std::string> devices, std::vector<std::string> wrapper = {},
                    std::vector<std::string> args = {"image.bin"}) const
    {
        std::vector<std::string> command{"--logs", dir.file("logs")};
        command.insert(command.end(), args.begin(), args.end());
        return run_vdev(dir, {.command = command,
                              .devices = std::move(devices),
                              .wrapper = std::move(wrapper),
                              .program = gang});
    }
};

// The summary with each device's seconds, and the padding before them, as " S".
std::string summary(const std::string &out)
{
    static const std::regex seconds(" +[0-9]+\\.[0-9]  ");
    return std::regex_replace(out, seconds, " S  ");
}

const std::string columns = "usb path     serial               result       seconds  last line\n";

// The text account of device n: its lines up to the next device's.
std::string device_account(const std::string &account, int n)
{
    const std::size_t from = account.find("device " + std::to_string(n) + ":");
    const std::size_t to = account.find("\ndevice ", from);
    return account.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

// One device stalls in the middle of the image; the others get it whole,
// each with its own single pause after the erase.
TEST_F(Gang, OneDeviceFailsTheOthersComplete)
{
    const vdev_result r = run({"service-us=0", "stall=40", "service-us=0"});
    EXPECT_EQ(summary(r.out), columns +
                                  "1-3          vdev-3               ok S  page: 2\n"
                                  "1-2          vdev-2               failed (1) S  error during "
                                  "flashing\n"
                                  "1-1          vdev-1               ok S  page: 2\n"
                                  "logs: " +
                                  dir.file("logs") + "\n");
    EXPECT_EQ(r.err, "flasher-gang: 1 of 3 devices failed; to run one again:\n"
                     "  FLASHER_USBPATH=1-2 flasher image.bin\n");
    EXPECT_EQ(r.status, 1);
    for (int n : {1, 3}) {
        const std::string account = device_account(r.account, n);
        EXPECT_NE(account.find("transfers: 103, bytes taken: 6184\n"), std::string::npos)
            << account;
        EXPECT_NE(account.find("  #0     erase E1, header 07 26 45 64 83 A2 C1 E0 FF 1E 3D\n"
                               "         pause 4 s\n  #1     zero byte\n"),
                  std::string::npos)
            << account;
        EXPECT_NE(account.find("protocol: followed"), std::string::npos) << account;
    }
    EXPECT_NE(device_account(r.account, 2).find("stalled"), std::string::npos) << r.account;
    EXPECT_EQ(
        read_text(dir.file("logs/1-2.log")),
        "Path: 1-3\nPath: 1-2\nstring desc 6 vdev-2\ncontinuing with flashing\nerased\npage: 0  \n"
        "error during flashing\n");
}

// Interrupted once both devices are erased: every flasher is gone before
// the summary, which calls both half-written. (The flashers of this test are
// those working in its directory; other tests may run flashers meanwhile.)
TEST_F(Gang, InterruptStopsEveryFlasher)
{
    const std::string wrapper =
        "set -m; \"$@\" & gang=$!\n"
        "until grep -qx erased logs/1-1.log logs/1-2.log 2>/dev/null &&\n"
        "  [ \"$(grep -lx erased logs/*.log | wc -l)\" = 2 ]; do sleep 0.05; done\n"
        "kill -INT $gang; wait $gang; status=$?\n"
        "for p in /proc/[0-9]*; do\n"
        "  [ \"$(cat $p/comm 2>/dev/null)\" = flasher ] &&\n"
        "    [ \"$(readlink $p/cwd)\" = \"$PWD\" ] && echo $p\n"
        "done >left.txt\n"
        "exit $status";
    const vdev_result r =
        run({"service-us=20000", "service-us=20000"}, {"/bin/bash", "-c", wrapper, "interrupt"});
    EXPECT_EQ(summary(r.out), columns +
                                  "1-2          vdev-2               interrupted        -  erased\n"
                                  "1-1          vdev-1               interrupted        -  erased\n"
                                  "logs: " +
                                  dir.file("logs") + "\n");
    EXPECT_NE(r.err.find("flasher-gang: interrupted; left half-written: 1-2 1-1\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(read_text(dir.file("left.txt")), "");
    EXPECT_EQ(r.status, 130);
}

// What the gang refuses before it starts anything.
TEST_F(Gang, RefusesBadRequests)
{
    struct refusal {
        const char *what;
        std::vector<std::string> args;
        std::vector<std::string> devices;
        std::string err_first_line;
        int status;
    } cases[] = {
        {"a serial",
         {"image.bin", "SN01"},
         {"service-us=0"},
         "flasher-gang: only \"all\" may follow the input: every device is flashed, so no "
         "serial\n",
         2},
        {"no input",
         {},
         {"service-us=0"},
         "Usage: flasher-gang [--logs DIR] signed_firmware.bin | params | erase [all]\n",
         2},
        {"a missing file",
         {"missing.bin"},
         {"service-us=0"},
         "flasher-gang: flasher would stop at once: cannot open firmware missing.bin\n",
         1},
        {"no device it can use",
         {"erase"},
         {"no-out"},
         "flasher-gang: no device flasher could use\n",
         1},
    };
    for (const refusal &c : cases) {
        SCOPED_TRACE(c.what);
        const vdev_result r = run(c.devices, {}, c.args);
        EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), c.err_first_line);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.account.find("  no transfers\n"), std::string::npos) << r.account;
    }
}

} // namespace
