#include "usb/dryrun/sent_messages.h"

namespace dryrun
{

namespace
{

std::vector<message> messages;

} // namespace

const std::vector<message> &sent()
{
    return messages;
}

int record_sent(const unsigned char *buffer, int length, unsigned int timeout_ms)
{
    messages.push_back({std::vector<unsigned char>(buffer, buffer + length), timeout_ms});
    return length;
}

} // namespace dryrun
