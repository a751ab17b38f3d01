// The decoder's state and its steps, shared by the files that decode a
// recording (decode.cpp: the messages; decode_pages.cpp: pages and their
// chunks). Not part of the library's interface.
#pragma once

#include "tools/account/decode.h"

#include <cstddef>

namespace account::decoding
{

// What a transfer looks like on its own, from its length and first byte.
enum class shape { params_announce, erase, zero_byte, page_header, trailer, other };

shape shape_of(const unsigned char *b, std::size_t n);

// Where in a run the decoder stands.
enum class phase { start, params_block, params_done, erased, trailer_done };

struct decoder {
    const recording &rec;
    decoded out;
    phase ph = phase::start;
    std::size_t transfer = 0; // index of the transfer being decoded
    bool page_open = false;
    std::size_t page_item = 0;
    bool any_page = false;
    unsigned next_page = 0;
    unsigned pages = 0;
    unsigned zeros = 0;
    bool stopped = false; // a message the host checks has failed
    std::size_t stop_transfer = 0;
    std::size_t sent_after_stop = 0;
    std::size_t after_stop_problem = 0;
    bool awaiting_erase_pause = false;
    bool saw_erase_pause = false;
};

// Notes a protocol break at `transfer`.
[[gnu::format(printf, 3, 4)]] void note(decoder &d, std::size_t transfer, const char *fmt, ...);

// Appends the item a message begins.
item &add_item(decoder &d, item_kind kind, std::size_t event_index, const event &ev);

// The host tests the result of this message and must send nothing after a
// failure of it.
void stop_after(decoder &d);

// Where in a run a message came, for a protocol break's text.
const char *phase_text(phase ph);

// A page that ends before its 32nd chunk.
void close_short_page(decoder &d);
// A chunk of the open page.
void on_chunk(decoder &d, const event &ev);
// A page header: the page it opens, and the breaks of the page order.
void on_page_header(decoder &d, std::size_t event_index, const event &ev);

} // namespace account::decoding
