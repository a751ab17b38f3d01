// A transport and a pause that do nothing but count, so the front end can be
// timed alone: what is measured is its own work per write, not a device's.
#include "bench/null_transport.h"

#include "frontend/pause.h"
#include "usb/transport.h"

namespace
{
null_transport_counts counts;
}

null_transport_counts null_transport_take_counts()
{
    const null_transport_counts taken = counts;
    counts = {};
    return taken;
}

bool open_usb(const char *, const char *)
{
    return true;
}

int flasher_dev_write(const unsigned char *buffer, int length, unsigned int)
{
    ++counts.writes;
    counts.bytes += static_cast<unsigned long long>(length);
    // Touch the data the way a real transport hands it on, so the compiler
    // cannot treat the buffer as unused.
    counts.checksum += buffer[0] + buffer[length - 1];
    return length;
}

void flasher_pause(unsigned int seconds)
{
    counts.pause_seconds += seconds;
}
