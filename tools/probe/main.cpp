// flasher-probe: what "flasher ARGS" would do, told before anything is
// erased. It runs flasher's own front end over the libusb dry-run back-end:
// the device search is flasher's, without the claim, and no message leaves.
#include "tools/probe/libusb_report.h"
#include "tools/probe/probe_main.h"

int main(int argc, char **argv)
{
    return probe_main(argc, argv, flasher_probe);
}
