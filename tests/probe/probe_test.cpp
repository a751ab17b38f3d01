// flasher-probe against virtual devices: the report it gives for each kind
// of input and each device outcome, its exit status, and that it never
// claims or writes. Its device verdict is checked against what the real
// flasher then does with the same devices. The expected texts are written
// out here from the wire rules, not taken from the program.
#include "support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace support;

namespace
{

class Probe : public testing::Test
{
  protected:
    scratch_dir dir;

    // flasher-probe under flasher-vdev; the account must show that no device
    // was claimed or written to.
    vdev_result probe(vdev_call call) const
    {
        call.program = probe_bin();
        vdev_result r = run_vdev(dir, call);
        const std::size_t devices = call.devices.empty() ? 1 : call.devices.size();
        EXPECT_EQ(count(r.account, "interface 0 not claimed\n"), devices) << r.account;
        EXPECT_EQ(count(r.account, "  no transfers\n"), devices) << r.account;
        return r;
    }

    static std::size_t count(const std::string &text, const std::string &what)
    {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos;
             at = text.find(what, at + 1))
            ++n;
        return n;
    }
};

// The lines of `out` from the one starting with `first` up to (not
// including) the one starting with `stop`.
std::string section(const std::string &out, const std::string &first, const std::string &stop)
{
    const std::size_t from = out.find("\n" + first);
    const std::size_t to = out.find("\n" + stop, from + 1);
    if (from == std::string::npos || to == std::string::npos)
        return "(no section " + first + " in:\n" + out + ")";
    return out.substr(from + 1, to - from);
}

std::string last_line(const std::string &out)
{
    const std::size_t end = !out.empty() && out.back() == '\n' ? out.size() - 1 : out.size();
    const std::size_t start = out.rfind('\n', end - 1);
    return out.substr(start == std::string::npos ? 0 : start + 1, end - (start + 1));
}

// The build's IDs as the report writes them.
std::string ids()
{
    char text[16];
    std::snprintf(text, sizeof text, "%04X:%04X", FLASHER_USB_VID, FLASHER_USB_PID);
    return text;
}

std::string hex11(const bytes &b)
{
    std::string text;
    char piece[4];
    for (std::size_t i = 0; i < 11; ++i) {
        std::snprintf(piece, sizeof piece, i == 0 ? "%02X" : " %02X", i < b.size() ? b[i] : 0);
        text += piece;
    }
    return text;
}

constexpr std::size_t page = 2048;
// A device as it comes, given as a spec that changes nothing.
const std::string plain = "service-us=0";
const std::string kept = "  not sent: nothing: every byte of the file goes out\n";

// Each kind of input: the mode flasher takes and why, what goes out and what
// stays behind, and the exit status that says so.
TEST_F(Probe, TellsWhatOfTheInputGoesOut)
{
    const bytes img3 = pattern(11 + 3 * page + 16), big = pattern(11 + 241 * page + 16),
                odd = pattern(11 + 3 * page + 7), tiny = pattern(5), params = pattern(256);
    dir.write("img3.bin", img3);
    dir.write("big.bin", big);
    dir.write("odd.bin", odd);
    dir.write("tiny.bin", tiny);
    dir.write("params.bin", params);
    const std::vector<std::string> through_pipe = {"/bin/sh", "-c", "cat params.bin | \"$@\"",
                                                   "pipe"};
    struct input_case {
        const char *what;
        std::vector<std::string> args;
        std::vector<std::string> wrapper;
        std::string input; // the report's input section, exactly
        std::string verdict;
        int status;
    } cases[] = {
        {"an image with a trailer",
         {"img3.bin"},
         {},
         "input: img3.bin, 6171 bytes: a firmware image (any size but 256 bytes)\n"
         "  erase: E1 with the header " +
             hex11(img3) +
             " (the file's first 11 bytes)\n"
             "  pages: 0-2 (3 pages)\n"
             "  trailer: sent (the 16 bytes after the last page)\n" +
             kept,
         "flasher would erase 1-1 and send the whole file: 3 pages and the trailer",
         0},
        {"241 pages and a trailer",
         {"big.bin", "all"},
         {},
         "input: big.bin, 493595 bytes: a firmware image (any size but 256 bytes)\n"
         "  erase: E2 with the header " +
             hex11(big) +
             " (the file's first 11 bytes)\n"
             "  pages: 0-239 (240 pages, the most flasher sends)\n"
             "  trailer: none: flasher sends no trailer after 240 pages\n"
             "  not sent: 2064 bytes from offset 491531: beyond page 239; flasher sends at most "
             "240 "
             "pages and nothing after them\n",
         "flasher would erase 1-1 and send 240 pages; 2064 bytes of the file would not be sent",
         3},
        {"an odd tail",
         {"odd.bin"},
         {},
         "input: odd.bin, 6162 bytes: a firmware image (any size but 256 bytes)\n"
         "  erase: E1 with the header " +
             hex11(odd) +
             " (the file's first 11 bytes)\n"
             "  pages: 0-2 (3 pages)\n"
             "  trailer: none: the file does not end in 16 bytes after the last whole page\n"
             "  not sent: 7 bytes from offset 6155: a tail of 7 bytes after the last whole page; "
             "only "
             "a tail of exactly 16 bytes (the trailer) is sent\n",
         "flasher would erase 1-1 and send 3 pages; 7 bytes of the file would not be sent",
         3},
        {"a file shorter than the header",
         {"tiny.bin"},
         {},
         "input: tiny.bin, 5 bytes: a firmware image (any size but 256 bytes)\n"
         "  erase: E1 with the header " +
             hex11(tiny) +
             " (the file's 5 bytes, then zeros)\n"
             "  pages: none: no whole page of 2048 bytes follows the header\n"
             "  trailer: none: the file does not end in 16 bytes after the last whole page\n" +
             kept,
         "flasher would only erase 1-1: the file has no whole page",
         3},
        {"a parameter file",
         {"params.bin", "all"},
         {},
         "input: params.bin, 256 bytes: a parameter block (exactly 256 bytes)\n"
         "  sent: E8, then the 256 bytes as they stand; no erase\n",
         "flasher would upload the parameter block to 1-1",
         0},
        {"256 bytes through a pipe",
         {"/dev/stdin"},
         through_pipe,
         "input: /dev/stdin: its size cannot be told (not a regular file), so flasher takes it "
         "for a firmware image whatever it holds, 256 bytes of parameters too; it held 256 bytes\n"
         "  erase: E1 with the header " +
             hex11(params) +
             " (the file's first 11 bytes)\n"
             "  pages: none: no whole page of 2048 bytes follows the header\n"
             "  trailer: none: the file does not end in 16 bytes after the last whole page\n"
             "  not sent: 245 bytes from offset 11: a tail of 245 bytes after the last whole page; "
             "only a tail of exactly 16 bytes (the trailer) is sent\n",
         "flasher would only erase 1-1: the file has no whole page",
         3},
        {"erase all",
         {"erase", "all"},
         {},
         "input: none: \"erase\" reads no file\n"
         "  erase: E2 with 11 zero bytes, then two zero bytes; nothing else\n",
         "flasher would erase 1-1",
         0},
        {"a missing file",
         {"missing.bin", "SN01"},
         {},
         "input: flasher stops here, before any USB activity: cannot open firmware missing.bin\n",
         "flasher would stop at once: cannot open firmware missing.bin",
         1},
    };
    for (const input_case &c : cases) {
        SCOPED_TRACE(c.what);
        const vdev_result r = probe({.command = c.args, .wrapper = c.wrapper});
        EXPECT_EQ(section(r.out, "input:", "build:"), c.input);
        EXPECT_EQ(last_line(r.out), "verdict: " + c.verdict);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, c.status);
    }
}

// Each device outcome, in the order flasher examines the devices (libusb
// lists 1-2 before 1-1), and the device the real flasher then takes.
TEST_F(Probe, TellsWhatFlasherMakesOfEachDevice)
{
    const std::string b = "1-2  serial \"vdev-2\"  ", a = "1-1  serial \"vdev-1\"  ";
    const std::string stops = "not examined: flasher stops at 1-2 before it\n";
    const std::string pins = "  FLASHER_USBPATH=1-2 flasher erase\n"
                             "  FLASHER_USBPATH=1-1 flasher erase\n";
    struct device_case {
        const char *what;
        std::vector<std::string> devices;
        std::vector<std::string> args; // after the input
        std::optional<std::string> usb_path;
        std::string report;          // from "devices with" up to the verdict
        std::string chosen;          // the usb path flasher writes to; empty: it gives up
        std::string input = "erase"; // flasher's first argument
    } cases[] = {
        {"two devices, no selector",
         {plain, plain},
         {},
         {},
         "  " + b + "chosen: flasher uses this device\n  " + a + stops +
             "several devices pass: flasher takes the first it examines, 1-2; to pin one:\n" + pins,
         "1-2"},
        {"a serial picks the second",
         {plain, plain},
         {"vdev-1"},
         {},
         "  " + b + "passed over: its serial is not \"vdev-1\"\n  " + a +
             "chosen: flasher uses this device\n",
         "1-1"},
        {"FLASHER_USBPATH picks the second",
         {plain, plain},
         {},
         "1-1",
         "  1-2  serial not read  passed over: its usb path is not FLASHER_USBPATH \"1-1\"\n"
         "  1-1  serial \"vdev-1\"  chosen: flasher uses this device\n",
         "1-1"},
        {"unconfigured, then one that opens",
         {plain, "unconfigured"},
         {},
         {},
         "  1-2  serial not read  passed over: its active configuration cannot be read\n"
         "  1-1  serial \"vdev-1\"  chosen: flasher uses this device\n",
         "1-1"},
        {"cannot be opened, then one that opens",
         {plain, "no-open"},
         {},
         {},
         "  1-2  serial not read  passed over: cannot be opened: Input/Output Error\n"
         "  1-1  serial \"vdev-1\"  chosen: flasher uses this device\n",
         "1-1"},
        {"no OUT endpoint ahead of a good device",
         {plain, "no-out"},
         {},
         {},
         "  1-2  serial not read  fails the attempt: interface 0, setting 0, has no OUT "
         "endpoint\n  1-1  serial \"vdev-1\"  not examined: flasher stops at 1-2 before it\n"
         "flasher gives up at 1-2; pinned, it passes over it:\n"
         "  FLASHER_USBPATH=1-1 flasher erase\n",
         ""},
        {"no interface behind the chosen device",
         {"no-interface", plain},
         {},
         {},
         "  " + b + "chosen: flasher uses this device\n  1-1  serial not read  " + stops,
         "1-2"},
        {"an unreadable serial",
         {"serial-fails"},
         {},
         {},
         "  1-1  serial unreadable (libusb -9)  chosen: flasher uses this device\n",
         "1-1"},
        // Held by another program: flasher would take it and fail at the
        // erase; a kernel driver alike. The advice stands under it.
        {"held by another program",
         {"held=usbfs"},
         {},
         {},
         "  1-1  serial \"vdev-1\"  busy: interface 0 is held by another program (usbfs); flasher "
         "would take it, and its erase would fail\n    another program has claimed interface 0 "
         "(another flasher, say): let it finish, or stop it, and try again\n",
         ""},
        {"held by a kernel driver, a free device behind it",
         {plain, "held=usbhid"},
         {},
         {},
         "  1-2  serial \"vdev-2\"  busy: interface 0 is held by the kernel driver usbhid; flasher "
         "would take it, and its erase would fail\n    flasher does not detach kernel drivers: "
         "unbind usbhid from the device (as root, through /sys/bus/usb/drivers/usbhid/unbind) and "
         "try again\n  1-1  serial \"vdev-1\"  not examined: flasher stops at 1-2 before it\n"
         "flasher fails on 1-2; pinned, it passes over it:\n  FLASHER_USBPATH=1-1 flasher erase\n",
         ""},
        {"another product ID only",
         {"pid=000B"},
         {},
         {},
         "  1-1 has " + ids().substr(0, 5) + "000B; this flasher looks for " + ids() + "\n",
         ""},
        {"two devices with the serial that selects",
         {"serial=twin", "serial=twin"},
         {"twin"},
         {},
         "  1-2  serial \"twin\"  chosen: flasher uses this device\n"
         "  1-1  serial \"twin\"  not examined: flasher stops at 1-2 before it\n"
         "several devices have the serial \"twin\": flasher takes the first it examines, 1-2; to "
         "pin one:\n"
         "  FLASHER_USBPATH=1-2 flasher erase twin\n  FLASHER_USBPATH=1-1 flasher erase twin\n",
         "1-2"},
        // flasher stops before it searches: the same serial selects, and no
        // device is chosen.
        {"an input that cannot be read",
         {plain, plain},
         {"vdev-1"},
         {},
         "  " + b + "passed over: its serial is not \"vdev-1\"\n  " + a +
             "passes: flasher would use it, had it got this far\n",
         "",
         "missing.bin"},
    };
    for (const device_case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args{c.input};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const vdev_result r =
            probe({.command = args, .usb_path = c.usb_path, .devices = c.devices});
        const std::string listed = section(r.out, "devices with", "verdict:");
        EXPECT_EQ(listed.substr(listed.find('\n') + 1), c.report);
        EXPECT_EQ(r.status, c.chosen.empty() ? 1 : 0);
        EXPECT_EQ(last_line(r.out),
                  c.chosen.empty() ? last_line(r.out) : "verdict: flasher would erase " + c.chosen);

        // The real flasher with the same devices and arguments.
        const vdev_result f = run_vdev(
            dir, {.command = args, .usb_path = c.usb_path, .devices = c.devices, .json = true});
        EXPECT_EQ(f.status, c.chosen.empty() ? 1 : 0);
        // The device flasher claimed: its JSON entry carries "claimed":true.
        const std::size_t at = f.account.find("\"usb_path\":\"" + c.chosen + "\"");
        const std::size_t claimed = f.account.find("\"claimed\":true");
        EXPECT_EQ(claimed == std::string::npos, c.chosen.empty()) << f.account;
        if (!c.chosen.empty()) {
            EXPECT_NE(at, std::string::npos) << f.account;
            EXPECT_EQ(f.account.find("\"claimed\":true", at), claimed) << f.account;
        }
    }
}

// --paths lists the devices flasher could use with these selectors, each
// meant to be pinned; its status still tells about the input.
TEST_F(Probe, PathsListsTheUsableDevices)
{
    dir.write("odd.bin", pattern(11 + 2 * page + 3));
    struct paths_case {
        const char *what;
        std::vector<std::string> options;
        std::vector<std::string> args;
        std::optional<std::string> usb_path;
        std::vector<std::string> devices;
        std::string out, err;
        int status;
    } cases[] = {
        {"all usable, a structural failure left out",
         {"--paths"},
         {"erase"},
         {},
         {plain, plain, "no-out"},
         "1-2\n1-1\n",
         "",
         0},
        {"by serial", {"--paths"}, {"erase", "all", "vdev-1"}, {}, {plain, plain}, "1-1\n", "", 0},
        {"by FLASHER_USBPATH", {"--paths"}, {}, "1-2", {plain, plain}, "1-2\n", "", 0},
        {"an odd tail",
         {"--paths"},
         {"odd.bin"},
         {},
         {plain},
         "1-1\n",
         "flasher-probe: flasher would erase each device and send 2 pages; 3 bytes of the file "
         "would not be sent\n",
         3},
        {"an odd tail behind a device that fails the attempt",
         {"--paths"},
         {"odd.bin"},
         {},
         {plain, "no-out"},
         "1-1\n",
         "flasher-probe: flasher would erase each device and send 2 pages; 3 bytes of the file "
         "would not be sent\n",
         3},
        {"an input that cannot be read",
         {"--paths"},
         {"missing.bin"},
         {},
         {plain},
         "",
         "flasher-probe: flasher would stop at once: cannot open firmware missing.bin\n",
         1},
        {"none usable",
         {"--paths"},
         {"erase", "nobody"},
         {},
         {plain},
         "",
         "flasher-probe: no device flasher could use\n",
         1},
        {"a bad option",
         {"--path"},
         {"erase"},
         {},
         {plain},
         "",
         "flasher-probe: unknown option --path\n",
         2},
    };
    for (const paths_case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), c.args.begin(), c.args.end());
        const vdev_result r =
            probe({.command = args, .usb_path = c.usb_path, .devices = c.devices});
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), c.err);
        EXPECT_EQ(r.status, c.status);
    }
}

// A device node the user may not open, seen for real: the probe, flasher-vdev
// and the shim are copied where anyone may run them and run as the user
// nobody (the test drops to it when it runs as root), and the device's node
// has mode 0000.
TEST_F(Probe, PermissionDeniedIsToldWithTheRemedy)
{
    namespace fs = std::filesystem;
    const fs::path bin = fs::path(dir.path()) / "bin";
    fs::create_directory(bin);
    for (const std::string &from :
         {vdev_bin(), probe_bin(),
          (fs::path(vdev_bin()).parent_path() / "libflasher_vdev_shim.so").string()})
        fs::copy_file(from, bin / fs::path(from).filename());
    const fs::path out = fs::path(dir.path()) / "out";
    fs::create_directory(out);
    chmod(dir.path().c_str(), 0755);
    chmod(out.c_str(), 0777);

    // The advice stands under the device whose line shows its cause, and
    // only there: a device flasher never reaches gets none.
    const std::string denied = "passed over: cannot be opened: permission denied\n"
                               "    install flasher's udev rule";
    struct denied_case {
        const char *what;
        std::vector<std::string> devices;
        std::string lines; // the device lines, advice cut after its first words
        std::string verdict;
    } cases[] = {
        {"the only device",
         {"no-access"},
         "  1-1  serial not read  " + denied,
         "flasher would give up: no device passes"},
        {"behind a device that fails the attempt",
         {"no-access", "no-out"},
         "  1-2  serial not read  fails the attempt: interface 0, setting 0, has no OUT endpoint\n"
         "  1-1  serial not read  not examined: flasher stops at 1-2 before it\n",
         "flasher would give up: every attempt fails at 1-2"},
    };
    for (const denied_case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> command;
        if (geteuid() == 0)
            command = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                       "--"};
        command.push_back((bin / "flasher-vdev").string());
        for (const std::string &d : c.devices)
            command.insert(command.end(), {"--device", d});
        command.insert(command.end(), {"--account", (out / "account.txt").string(), "--",
                                       (bin / "flasher-probe").string(), "erase"});
        const vdev_result r = run_command(dir, command);

        const std::string listed = section(r.out, "devices with", "verdict:");
        EXPECT_EQ(listed.substr(listed.find('\n') + 1, c.lines.size()), c.lines);
        EXPECT_EQ(listed.find("udev rule") != std::string::npos, c.devices.size() == 1) << listed;
        EXPECT_EQ(last_line(r.out), "verdict: " + c.verdict);
        EXPECT_EQ(r.status, 1) << r.err;
        const std::string account = read_text((out / "account.txt").string());
        EXPECT_NE(account.find("  opened 0, closed 0, serial read 0, interface 0 not claimed\n"
                               "  no transfers\n"),
                  std::string::npos)
            << account;
    }
}

} // namespace
