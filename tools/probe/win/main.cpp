// flasher-probe.exe: what "flasher-win ARGS" would do, told before anything
// is erased. It runs flasher-win's own front end over the Windows dry-run
// back-end: the device search is flasher-win's, each device it would take is
// opened and closed again, and no message leaves.
#include "tools/probe/probe_main.h"
#include "tools/probe/win/report.h"

int main(int argc, char **argv)
{
    return probe_main(argc, argv, flasher_win_probe);
}
