// A Windows test program, run under Wine by tests/winusb/input_size_wine.sh:
// the front end's real prepare_run() on this program's own command line (the
// same as flasher-win's), then one line on standard output with the mode and
// the input size it decided, for example "firmware 4294967552". Nothing is
// connected: when prepare_run() ends the run itself, its status is returned.
#include "frontend/run_request.h"

#include <cstdio>

int main(int argc, char **argv)
{
    run_request request;
    if (const int status = prepare_run(argc, argv, request); status >= 0)
        return status;
    const char *mode = request.mode == run_mode::parameters ? "parameters"
                       : request.mode == run_mode::firmware ? "firmware"
                                                            : "erase";
    std::printf("%s %lld\n", mode, request.input_size);
    return 0;
}
