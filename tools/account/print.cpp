// The account of a recording, as text lines.
#include "tools/account/decode.h"

namespace account
{

namespace
{

void print_hex(std::FILE *out, const unsigned char *b, std::size_t n, const char *sep)
{
    for (std::size_t i = 0; i < n; ++i)
        std::fprintf(out, "%s%02X", i == 0 ? "" : sep, b[i]);
}

// ": stalled (0 of 3 bytes taken)"
void print_failure(std::FILE *out, const item &it)
{
    std::fprintf(out, ": %s (%zu of %zu bytes taken)", outcome_name(it.result), it.taken,
                 it.length);
}

bool whole_page(const item &it)
{
    return it.kind == item_kind::page && !it.failed && it.chunks == wire::chunks_per_page;
}

// Whole pages numbered one after the other print as one line; returns the
// index of the run's last item.
std::size_t print_pages(std::FILE *out, const std::vector<item> &items, std::size_t i)
{
    const item &first = items[i];
    std::size_t last = i;
    while (whole_page(items[last]) && last + 1 < items.size() && whole_page(items[last + 1]) &&
           items[last + 1].page == items[last].page + 1)
        last += 1;
    if (last > i) {
        std::fprintf(out, "pages %u-%u (%zu pages)", first.page, items[last].page, last - i + 1);
        return last;
    }
    std::fprintf(out, "page %u", first.page);
    if (first.failed_in_header) {
        std::fprintf(out, " header");
        print_failure(out, first);
    } else if (first.failed) {
        std::fprintf(out, ": %u of %u chunks, chunk %u (#%zu)", first.chunks, wire::chunks_per_page,
                     first.chunks, first.transfer + 1 + first.chunks);
        print_failure(out, first);
    } else if (first.chunks != wire::chunks_per_page) {
        std::fprintf(out, ": %u of %u chunks", first.chunks, wire::chunks_per_page);
    }
    return i;
}

std::size_t print_item(std::FILE *out, const recording &rec, const std::vector<item> &items,
                       std::size_t i)
{
    const item &it = items[i];
    if (it.kind == item_kind::pause) {
        std::fprintf(out, "       pause %u s", it.seconds);
        return i;
    }
    const event &ev = rec.events[it.event];
    const unsigned char *b = bytes_of(rec, ev);
    std::fprintf(out, "#%-5zu ", it.transfer);
    switch (it.kind) {
    case item_kind::params_announce:
        std::fprintf(out, "parameter announcement E8");
        break;
    case item_kind::params_block:
        std::fprintf(out, "parameter block, %zu bytes", it.length);
        break;
    case item_kind::erase:
        std::fprintf(out, "%s %02X, header ", b[0] == wire::code_erase_all ? "erase all" : "erase",
                     b[0]);
        print_hex(out, b + 1, wire::header_size, " ");
        break;
    case item_kind::zero_byte:
        std::fprintf(out, "zero byte");
        break;
    case item_kind::trailer:
        std::fprintf(out, "trailer ");
        print_hex(out, b + 1, wire::trailer_size, " ");
        break;
    case item_kind::unknown:
        std::fprintf(out, "unknown message of %zu bytes", it.length);
        if (it.length > 0) {
            std::fprintf(out, ": ");
            print_hex(out, b, it.length < 16 ? it.length : 16, " ");
            if (it.length > 16)
                std::fprintf(out, " ...");
        }
        break;
    case item_kind::page:
        return print_pages(out, items, i);
    case item_kind::pause:
        break;
    }
    if (it.failed)
        print_failure(out, it);
    return i;
}

} // namespace

std::size_t bytes_taken(const recording &rec)
{
    std::size_t n = 0;
    for (const event &ev : rec.events)
        n += ev.is_pause ? 0 : ev.taken;
    return n;
}

void print_account(const recording &rec, std::FILE *out, const char *indent)
{
    decoded d = decode(rec);
    std::fprintf(out, "%stransfers: %zu, bytes taken: %zu\n", indent, transfer_count(rec),
                 bytes_taken(rec));
    for (std::size_t i = 0; i < d.items.size(); ++i) {
        std::fputs(indent, out);
        i = print_item(out, rec, d.items, i);
        std::fputc('\n', out);
    }
    if (d.problems.empty())
        std::fprintf(out, "%sprotocol: followed\n", indent);
    for (const problem &p : d.problems)
        std::fprintf(out, "%sprotocol broken at #%zu: %s\n", indent, p.transfer, p.text.c_str());
}

} // namespace account
