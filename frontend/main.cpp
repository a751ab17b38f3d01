#include "frontend/events.h"
#include "frontend/run_request.h"

#include <csignal>
#include <cstdio>

#ifndef _WIN32
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace
{

#ifndef _WIN32
// Started with standard input, output or error closed, the next files opened
// (the input file, libusb's event descriptors, the device node) would take
// descriptors 0 to 2, and every line meant for the user would be written
// into one of them. /dev/null fills each gap first; open() takes the lowest
// free descriptor, so going up from 0 fills exactly the closed ones.
void fill_closed_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int got = open("/dev/null", O_RDWR);
        if (got < 0)
            return; // nothing better to do; run as before
        if (got != fd) {
            close(got);
            return;
        }
    }
}
#endif

} // namespace

int main(int argc, char **argv)
{
#ifndef _WIN32
    fill_closed_standard_descriptors();
#endif
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
    events_start_from_environment();
    const int status = flasher_main(argc, argv);
    event_end(status);
    return status;
}
