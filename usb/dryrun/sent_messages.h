// What a dry-run back-end does with each write: records the message and
// reports it sent in full. Shared by the dry runs of every platform, so the
// front end's messages are read off alike whatever search came before.
#pragma once

#include <vector>

namespace dryrun
{

// One message the front end handed to flasher_dev_write.
struct message {
    std::vector<unsigned char> bytes;
    unsigned int timeout_ms;
};

// Every message the front end sent, in order.
const std::vector<message> &sent();

// Records one message; returns `length`, as a device that takes it all would.
int record_sent(const unsigned char *buffer, int length, unsigned int timeout_ms);

} // namespace dryrun
