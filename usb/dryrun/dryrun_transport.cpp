#include "usb/dryrun/dryrun_transport.h"

#include "usb/dryrun/sent_messages.h"
#include "usb/transport.h"

namespace dryrun
{

namespace
{

bool searched_once = false;

} // namespace

bool searched_at_all()
{
    return searched_once;
}

} // namespace dryrun

// The search is kept and the connection always made: the sequence runs to its
// end whatever was found, and the caller reads off both.
bool open_usb(const char *serial, const char *usb_path)
{
    dryrun::search_devices(serial, usb_path);
    dryrun::searched_once = true;
    return true;
}

int flasher_dev_write(const unsigned char *buffer, int length, unsigned int timeout_ms)
{
    return dryrun::record_sent(buffer, length, timeout_ms);
}
