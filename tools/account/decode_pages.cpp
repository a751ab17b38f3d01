// Pages and their chunks, as the decoder meets them.
#include "tools/account/decoder.h"

namespace account::decoding
{

void close_short_page(decoder &d)
{
    const item &p = d.out.items[d.page_item];
    note(d, p.transfer, "page %u has %u of %u chunks", p.page, p.chunks, wire::chunks_per_page);
    d.page_open = false;
}

void on_chunk(decoder &d, const event &ev)
{
    item &p = d.out.items[d.page_item];
    if (ev.length != wire::chunk_size)
        note(d, d.transfer, "page %u chunk %u is %zu bytes, not %zu", p.page, p.chunks, ev.length,
             wire::chunk_size);
    if (ev.result != outcome::completed) {
        p.failed = true;
        p.result = ev.result;
        p.length = ev.length;
        p.taken = ev.taken;
        d.page_open = false;
        stop_after(d);
        return;
    }
    p.chunks += 1;
    if (p.chunks == wire::chunks_per_page)
        d.page_open = false;
}

void on_page_header(decoder &d, std::size_t event_index, const event &ev)
{
    const unsigned char *b = bytes_of(d.rec, ev);
    unsigned number = (unsigned{b[1]} << 8) | b[2];
    if (d.ph != phase::erased)
        note(d, d.transfer, "page %u header %s", number, phase_text(d.ph));
    else if (d.zeros < 2 && !d.any_page)
        note(d, d.transfer, "page %u before the two zero bytes", number);
    if (!d.any_page && number != 0)
        note(d, d.transfer, "first page is %u, not 0", number);
    else if (d.any_page && number < d.next_page)
        note(d, d.transfer, "page %u repeated after page %u", number, d.next_page - 1);
    else if (d.any_page && number == d.next_page + 1)
        note(d, d.transfer, "page %u missing before page %u", d.next_page, number);
    else if (d.any_page && number > d.next_page)
        note(d, d.transfer, "pages %u to %u missing before page %u", d.next_page, number - 1,
             number);
    d.pages += 1;
    if (d.pages == wire::max_pages + 1)
        note(d, d.transfer, "more than %u pages", wire::max_pages);
    d.any_page = true;
    d.next_page = number + 1;

    item &p = add_item(d, item_kind::page, event_index, ev);
    p.page = number;
    if (p.failed) {
        p.failed_in_header = true;
        stop_after(d);
        return;
    }
    d.page_open = true;
    d.page_item = d.out.items.size() - 1;
}

} // namespace account::decoding
