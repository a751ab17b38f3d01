// Turns the transfers a device received into the protocol's messages, and
// notes every place where the host broke the protocol.
#include "tools/account/decode.h"

#include <cstdarg>
#include <cstdio>

namespace account
{

void record_transfer(recording &rec, std::span<const unsigned char> offered, std::size_t taken,
                     outcome result)
{
    event ev{};
    ev.is_pause = false;
    ev.offset = rec.data.size();
    ev.length = offered.size();
    ev.taken = taken < offered.size() ? taken : offered.size();
    ev.result = result;
    rec.data.insert(rec.data.end(), offered.begin(), offered.end());
    rec.events.push_back(ev);
}

void record_pause(recording &rec, unsigned int seconds)
{
    event ev{};
    ev.is_pause = true;
    ev.seconds = seconds;
    rec.events.push_back(ev);
}

std::size_t transfer_count(const recording &rec)
{
    std::size_t n = 0;
    for (const event &ev : rec.events)
        n += ev.is_pause ? 0 : 1;
    return n;
}

const char *outcome_name(outcome result)
{
    switch (result) {
    case outcome::completed:
        return "completed";
    case outcome::stalled:
        return "stalled";
    case outcome::timed_out:
        return "timed out";
    case outcome::short_taken:
        return "short";
    case outcome::gone:
        return "gone";
    }
    return "?";
}

namespace
{

// What a transfer looks like on its own, from its length and first byte.
enum class shape { params_announce, erase, zero_byte, page_header, trailer, other };

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

[[gnu::format(printf, 3, 4)]] void note(decoder &d, std::size_t transfer, const char *fmt, ...)
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

// The host tests the result of this message and must send nothing after a
// failure of it.
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

void on_message(decoder &d, std::size_t event_index, const event &ev)
{
    const unsigned char *b = bytes_of(d.rec, ev);
    bool ok = ev.result == outcome::completed;

    if (d.ph == phase::params_block) {
        add_item(d, item_kind::params_block, event_index, ev);
        if (ev.length != wire::params_size)
            note(d, d.transfer, "parameter block of %zu bytes, not %zu", ev.length,
                 wire::params_size);
        d.ph = phase::params_done;
        if (!ok)
            stop_after(d);
        return;
    }

    switch (shape_of(b, ev.length)) {
    case shape::params_announce:
        if (d.ph != phase::start)
            note(d, d.transfer, "parameter announcement %s", phase_text(d.ph));
        add_item(d, item_kind::params_announce, event_index, ev);
        if (ok)
            d.ph = phase::params_block;
        else
            stop_after(d);
        return;
    case shape::erase:
        if (d.ph != phase::start)
            note(d, d.transfer, "erase message %s", phase_text(d.ph));
        add_item(d, item_kind::erase, event_index, ev);
        if (ok) {
            d.ph = phase::erased;
            d.awaiting_erase_pause = true;
            d.saw_erase_pause = false;
        } else {
            stop_after(d);
        }
        return;
    case shape::zero_byte:
        if (d.ph != phase::erased || d.any_page || d.zeros >= 2)
            note(d, d.transfer, "zero byte out of place (%s)", phase_text(d.ph));
        if (d.awaiting_erase_pause && d.rec.pauses_observed && !d.saw_erase_pause)
            note(d, d.transfer, "no %u s pause between the erase and the zero bytes",
                 wire::erase_pause_s);
        d.awaiting_erase_pause = false;
        d.zeros += 1;
        add_item(d, item_kind::zero_byte, event_index, ev);
        return; // the host ignores its result
    case shape::page_header:
        on_page_header(d, event_index, ev);
        return;
    case shape::trailer:
        if (d.ph != phase::erased)
            note(d, d.transfer, "trailer %s", phase_text(d.ph));
        else if (d.pages >= wire::max_pages)
            note(d, d.transfer, "trailer after %u pages", d.pages);
        add_item(d, item_kind::trailer, event_index, ev);
        d.ph = phase::trailer_done;
        return; // the host ignores its result
    case shape::other:
        add_item(d, item_kind::unknown, event_index, ev);
        note(d, d.transfer, "unknown message of %zu bytes starting %02X", ev.length,
             ev.length > 0 ? b[0] : 0);
        if (!ok)
            stop_after(d);
        return;
    }
}

void on_transfer(decoder &d, std::size_t event_index, const event &ev)
{
    if (d.stopped) {
        if (d.sent_after_stop == 0) {
            d.after_stop_problem = d.out.problems.size();
            note(d, d.transfer, "sent after transfer #%zu failed", d.stop_transfer);
        }
        d.sent_after_stop += 1;
    }
    if (d.page_open) {
        shape s = shape_of(bytes_of(d.rec, ev), ev.length);
        if (ev.length == wire::chunk_size || (s != shape::page_header && s != shape::trailer)) {
            on_chunk(d, ev);
            return;
        }
        close_short_page(d);
    }
    on_message(d, event_index, ev);
}

void on_pause(decoder &d, std::size_t event_index, const event &ev)
{
    item it{};
    it.kind = item_kind::pause;
    it.transfer = d.transfer;
    it.event = event_index;
    it.seconds = ev.seconds;
    d.out.items.push_back(it);
    if (d.awaiting_erase_pause && ev.seconds == wire::erase_pause_s)
        d.saw_erase_pause = true;
}

void finish(decoder &d)
{
    if (d.stopped) {
        if (d.sent_after_stop > 1) {
            char text[200];
            std::snprintf(text, sizeof text, "%zu transfers sent after transfer #%zu failed",
                          d.sent_after_stop, d.stop_transfer);
            d.out.problems[d.after_stop_problem].text = text;
        }
        return;
    }
    if (d.page_open)
        close_short_page(d);
    if (d.ph == phase::erased && d.zeros < 2)
        note(d, d.transfer, "only %u of 2 zero bytes after the erase", d.zeros);
    if (d.ph == phase::params_block)
        note(d, d.transfer, "parameter announcement without a block");
}

} // namespace

decoded decode(const recording &rec)
{
    decoder d{rec, {}};
    for (std::size_t i = 0; i < rec.events.size(); ++i) {
        const event &ev = rec.events[i];
        if (ev.is_pause) {
            on_pause(d, i, ev);
            continue;
        }
        on_transfer(d, i, ev);
        d.transfer += 1;
    }
    finish(d);
    return d.out;
}

bool follows_protocol(const recording &rec)
{
    return decode(rec).problems.empty();
}

} // namespace account
