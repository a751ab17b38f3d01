// Parameter upload: announce with CMD_PARAMS, then send the 256-byte block as
// it stands in the file.
#include "frontend/events.h"
#include "frontend/messages.h"
#include "frontend/run_request.h"
#include "usb/transport.h"

#include <cstdio>

namespace
{
constexpr unsigned char params_announcement[1] = {CMD_PARAMS};
}

int upload_params(const run_request &request)
{
    event_begin("params");
    const int announced = flasher_dev_write(params_announcement, 1, params_timeout_ms);
    event_message("announce", 1, announced);
    if (announced != 1) {
        std::fputs(msg::params_write_error, stderr);
        return 1;
    }

    // Ask for more than a block so that a file that has grown since it was
    // measured is caught as well as one that has shrunk.
    unsigned char block[page_size];
    const std::size_t got = std::fread(block, 1, sizeof block, request.input);
    if (got != params_size) {
        std::fputs(msg::params_read_error, stderr);
        return 1;
    }

    const int took = flasher_dev_write(block, static_cast<int>(params_size), params_timeout_ms);
    event_message("params", static_cast<int>(params_size), took);
    if (took != static_cast<int>(params_size)) {
        std::fputs(msg::params_block_error, stderr);
        return 1;
    }
    return 0;
}
