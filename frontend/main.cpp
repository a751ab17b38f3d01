#include "frontend/run_request.h"

#include <csignal>
#include <cstdio>

int main(int argc, char **argv)
{
#ifdef SIGPIPE
    // When whoever reads our output goes away ("flasher image.bin | head"),
    // the lines are lost but the programming must not be: without this the
    // first line written after that would kill the program with the device
    // half-programmed. The exit status still tells how the device fared.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // The device-discovery lines go to stdout and everything else to stderr;
    // line buffering keeps them in order when both go to one pipe or file.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    return flasher_main(argc, argv);
}
