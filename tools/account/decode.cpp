// Turns the transfers a device received into the protocol's messages, and
// notes every place where the host broke the protocol.
#include "tools/account/decoder.h"

#include <cstdio>

namespace account
{

namespace
{

using namespace decoding;

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
