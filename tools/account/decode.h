// The decoder's view of a recording: one item per protocol message (a page
// and its chunks make one item), plus the protocol breaks found on the way.
#pragma once

#include "tools/account/account.h"

#include <cstddef>
#include <string>
#include <vector>

namespace account
{

// The wire format, as the device sees it.
namespace wire
{
constexpr unsigned char code_params = 0xE8;
constexpr unsigned char code_erase = 0xE1;
constexpr unsigned char code_erase_all = 0xE2;
constexpr unsigned char code_page = 0xE4;
constexpr unsigned char code_trailer = 0xE0;
constexpr std::size_t header_size = 11;
constexpr std::size_t erase_size = 12;
constexpr std::size_t page_header_size = 3;
constexpr std::size_t chunk_size = 64;
constexpr unsigned chunks_per_page = 32;
constexpr std::size_t page_size = chunk_size * chunks_per_page;
constexpr std::size_t trailer_size = 16;
constexpr std::size_t trailer_message_size = 17;
constexpr std::size_t params_size = 256;
constexpr unsigned max_pages = 240;
constexpr unsigned erase_pause_s = 4;
} // namespace wire

enum class item_kind {
    pause,
    params_announce,
    params_block,
    erase,
    zero_byte,
    page,
    trailer,
    unknown
};

struct item {
    item_kind kind;
    std::size_t transfer = 0; // index of its first transfer
    std::size_t event = 0;    // index of its first event
    unsigned int seconds = 0; // pause
    unsigned page = 0;        // page number
    unsigned chunks = 0;      // whole chunks taken (page)
    bool failed = false;      // its last transfer did not complete
    outcome result = outcome::completed;
    std::size_t length = 0;        // bytes offered by the failing / only transfer
    std::size_t taken = 0;         // bytes taken by it
    bool failed_in_header = false; // page: the page header itself failed
};

struct problem {
    std::size_t transfer;
    std::string text;
};

struct decoded {
    std::vector<item> items;
    std::vector<problem> problems;
};

decoded decode(const recording &rec);

// Bytes the device accepted over all its transfers.
std::size_t bytes_taken(const recording &rec);

// The bytes of a transfer.
inline const unsigned char *bytes_of(const recording &rec, const event &ev)
{
    return rec.data.data() + ev.offset;
}

} // namespace account
