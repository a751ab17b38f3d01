// The decoder's steps that every kind of message shares.
#include "tools/account/decoder.h"

#include <cstdarg>
#include <cstdio>

namespace account::decoding
{

shape shape_of(const unsigned char *b, std::size_t n)
{
    if (n == 1 && b[0] == wire::code_params)
        return shape::params_announce;
    if (n == 1 && b[0] == 0x00)
        return shape::zero_byte;
    if (n == wire::erase_size && (b[0] == wire::code_erase || b[0] == wire::code_erase_all))
        return shape::erase;
    if (n == wire::page_header_size && b[0] == wire::code_page)
        return shape::page_header;
    if (n == wire::trailer_message_size && b[0] == wire::code_trailer)
        return shape::trailer;
    return shape::other;
}

void note(decoder &d, std::size_t transfer, const char *fmt, ...)
{
    char text[200];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    d.out.problems.push_back({transfer, text});
}

item &add_item(decoder &d, item_kind kind, std::size_t event_index, const event &ev)
{
    item it{};
    it.kind = kind;
    it.transfer = d.transfer;
    it.event = event_index;
    it.length = ev.length;
    it.taken = ev.taken;
    it.result = ev.result;
    it.failed = ev.result != outcome::completed;
    d.out.items.push_back(it);
    return d.out.items.back();
}

void stop_after(decoder &d)
{
    d.stopped = true;
    d.stop_transfer = d.transfer;
}

const char *phase_text(phase ph)
{
    switch (ph) {
    case phase::start:
        return "before any erase";
    case phase::params_block:
    case phase::params_done:
        return "in a parameter upload";
    case phase::erased:
        return "after the erase";
    case phase::trailer_done:
        return "after the trailer";
    }
    return "";
}

} // namespace account::decoding
