// Erase and firmware programming: erase, let the device settle, then stream
// whole pages, then the trailer when the image ends with one.
#include "frontend/events.h"
#include "frontend/messages.h"
#include "frontend/pause.h"
#include "frontend/run_request.h"
#include "usb/transport.h"

#include <cstdint>
#include <cstdio>

namespace
{

constexpr unsigned char zero_byte[1] = {0x00};

template <std::size_t N> int send(const std::array<unsigned char, N> &message, unsigned int timeout)
{
    return flasher_dev_write(message.data(), static_cast<int>(N), timeout);
}

bool erase(const run_request &request)
{
    event_begin("erase");
    const int sent = send(encode_erase(request.erase_all, request.header), erase_timeout_ms);
    event_message("erase", static_cast<int>(erase_message_size), sent);
    std::fputs(msg::erased, stderr);
    if (sent != static_cast<int>(erase_message_size)) {
        std::fputs(msg::erase_error, stderr);
        return false;
    }
    return true;
}

// The device needs time after an erase, then two zero bytes whose outcome
// does not matter.
void settle()
{
    flasher_pause(erase_settle_pause_s);
    event_zero_byte(1, flasher_dev_write(zero_byte, 1, zero_byte_timeout_ms));
    event_zero_byte(2, flasher_dev_write(zero_byte, 1, zero_byte_timeout_ms));
}

// Header, then the page in 64-byte chunks; stops at the first short write.
bool send_page(std::uint16_t number, const unsigned char *page)
{
    const int header = send(encode_page_header(number), page_timeout_ms);
    if (header != static_cast<int>(page_header_size)) {
        event_page(number, header, 0, 0);
        return false;
    }
    for (std::size_t k = 0; k < chunks_per_page; ++k) {
        const int took =
            flasher_dev_write(page + k * chunk_size, static_cast<int>(chunk_size), page_timeout_ms);
        if (took != static_cast<int>(chunk_size)) {
            event_page(number, header, static_cast<int>(k), took);
            return false;
        }
    }
    event_page(number, header, static_cast<int>(chunks_per_page), 0);
    return true;
}

// Streams whole pages, at most max_pages, then the trailer if the read after
// the last page returned exactly its length. A short read ends the pages;
// a read error is reported, so a half-written device never passes as done.
int program_pages(std::FILE *image)
{
    unsigned char page[page_size];
    std::uint16_t count = 0;
    std::size_t last_read = 0;
    for (;;) {
        last_read = std::fread(page, 1, sizeof page, image);
        if (last_read != page_size) {
            if (std::ferror(image) != 0) {
                std::fputs(msg::firmware_read_error, stderr);
                return 1;
            }
            break;
        }
        if (!send_page(count, page)) {
            std::fputs(msg::flashing_error, stderr);
            return 1;
        }
        std::fprintf(stderr, msg::page_done, static_cast<int>(count));
        if (++count == max_pages)
            return 0; // no read after the last page, so no trailer
    }
    if (last_read == trailer_size) {
        const auto trailer = std::span<const unsigned char, trailer_size>(page, trailer_size);
        const int took = send(encode_trailer(trailer), trailer_timeout_ms);
        event_message("trailer", static_cast<int>(trailer_message_size), took);
    }
    return 0;
}

} // namespace

int erase_and_program(const run_request &request)
{
    std::fputs(msg::continuing, stderr);
    if (!erase(request))
        return 1;
    settle();
    if (request.mode == run_mode::erase_only)
        return 0;
    return program_pages(request.input);
}
