// flasher-vdev: hosts virtual target devices and runs a command against them
// through the real libusb (umockdev emulates sysfs and usbfs for it), then
// tells what each device received.
//
// options.cpp reads the command line, testbed.cpp and usbfs.cpp are the
// devices, command.cpp runs the command with control.cpp answering the
// shim's reports and hotplug.cpp plugging devices in and out, and report*.cpp
// give the account.
#include "tools/vdev/command.h"
#include "tools/vdev/hotplug.h"
#include "tools/vdev/report.h"

#include <umockdev.h>

namespace vdev
{
run_state state;
}

namespace
{

// Everything that can be found wrong before the command starts; the
// command then runs and the account and check follow.
int run_and_report(const vdev::options &opt)
{
    vdev::expectation expected;
    if (int status = vdev::read_expectation(opt, expected); status >= 0)
        return status;
    std::FILE *out = vdev::open_account(opt);
    if (out == nullptr)
        return vdev::exit_usage;
    UMockdevTestbed *testbed = vdev::make_testbed();
    std::string error;
    int status = vdev::exit_usage;
    if (!vdev::build_testbed(testbed, error))
        std::fprintf(stderr, "flasher-vdev: %s\n", error.c_str());
    else if (status = vdev::run_command(opt, testbed); status != vdev::exit_cannot_start)
        status = vdev::report(opt, expected, out, status);
    g_object_unref(testbed);
    if (out != stderr)
        std::fclose(out);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    vdev::options opt;
    if (int status = vdev::parse_options(argc, argv, opt); status >= 0)
        return status;
    if (int status = vdev::preload_for_uevents(argv); status >= 0)
        return status;
    return run_and_report(opt);
}
