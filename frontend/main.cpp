#include "frontend/run_request.h"

#include <cstdio>

int main(int argc, char **argv)
{
    // The device-discovery lines go to stdout and everything else to stderr;
    // line buffering keeps them in order when both go to one pipe or file.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    return flasher_main(argc, argv);
}
