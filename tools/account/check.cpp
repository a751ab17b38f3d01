// Checks a recording against what an image or parameter file must put on the
// wire. The expected transfers are built here from the file and the wire
// rules alone.
#include "tools/account/decode.h"

#include <cstdlib>
#include <cstring>

namespace account
{

namespace
{

// One transfer the file must produce.
struct expected {
    std::size_t offset; // into the expected byte stream
    std::size_t length;
    char what[40];
    bool either_erase_code; // byte 0 may be CMD_ERASE or CMD_ERASE_ALL
};

struct expectation {
    std::vector<unsigned char> bytes;
    std::vector<expected> transfers;
    unsigned pages = 0;
    bool trailer = false;
    bool params = false;
    // What of the file the rules leave at home.
    std::size_t whole_pages = 0;      // in the file, sent or not
    bool trailer_after_limit = false; // exactly 16 bytes after the limit's pages or more
    std::size_t tail = 0;             // bytes after the last whole page that are no trailer
};

void expect(expectation &e, const unsigned char *b, std::size_t n, const char *what,
            bool either_erase_code = false)
{
    expected x{};
    x.offset = e.bytes.size();
    x.length = n;
    std::snprintf(x.what, sizeof x.what, "%s", what);
    x.either_erase_code = either_erase_code;
    e.bytes.insert(e.bytes.end(), b, b + n);
    e.transfers.push_back(x);
}

expectation params_expectation(std::span<const unsigned char> file)
{
    expectation e;
    e.params = true;
    const unsigned char announce = wire::code_params;
    expect(e, &announce, 1, "parameter announcement");
    expect(e, file.data(), file.size(), "parameter block");
    return e;
}

// The image's header rides in the erase message (a file shorter than the
// header leaves the rest zero); its whole pages follow, at most the limit;
// exactly 16 bytes left after the last whole page are the trailer, unless the
// limit was reached.
expectation image_expectation(std::span<const unsigned char> file)
{
    if (file.size() == wire::params_size)
        return params_expectation(file);
    expectation e;
    unsigned char erase[wire::erase_size] = {wire::code_erase};
    std::size_t head = file.size() < wire::header_size ? file.size() : wire::header_size;
    if (head > 0) // an empty file has no data pointer to copy from
        std::memcpy(erase + 1, file.data(), head);
    expect(e, erase, sizeof erase, "erase message", true);
    const unsigned char zero = 0x00;
    expect(e, &zero, 1, "first zero byte");
    expect(e, &zero, 1, "second zero byte");

    std::size_t body = file.size() > wire::header_size ? file.size() - wire::header_size : 0;
    std::size_t whole = body / wire::page_size;
    e.pages = whole < wire::max_pages ? static_cast<unsigned>(whole) : wire::max_pages;
    for (unsigned p = 0; p < e.pages; ++p) {
        char what[40];
        unsigned char header[wire::page_header_size] = {
            wire::code_page, static_cast<unsigned char>(p >> 8), static_cast<unsigned char>(p)};
        std::snprintf(what, sizeof what, "page %u header", p);
        expect(e, header, sizeof header, what);
        const unsigned char *page = file.data() + wire::header_size + p * wire::page_size;
        for (unsigned k = 0; k < wire::chunks_per_page; ++k) {
            std::snprintf(what, sizeof what, "page %u chunk %u", p, k);
            expect(e, page + k * wire::chunk_size, wire::chunk_size, what);
        }
    }
    e.whole_pages = whole;
    std::size_t rest = body % wire::page_size;
    e.trailer_after_limit = whole >= wire::max_pages && rest == wire::trailer_size;
    e.tail = rest == wire::trailer_size ? 0 : rest;
    if (e.pages < wire::max_pages && rest == wire::trailer_size) {
        unsigned char trailer[wire::trailer_message_size] = {wire::code_trailer};
        std::memcpy(trailer + 1, file.data() + wire::header_size + e.pages * wire::page_size,
                    wire::trailer_size);
        expect(e, trailer, sizeof trailer, "trailer message");
        e.trailer = true;
    }
    return e;
}

constexpr int max_difference_lines = 10;

// Compares one received transfer with the expected one; prints a line and
// returns false when they differ.
bool same_transfer(const recording &rec, const event &ev, std::size_t index, const expectation &e,
                   const expected &x, std::FILE *out, const char *indent)
{
    if (ev.result != outcome::completed) {
        std::fprintf(out, "%s#%zu: %s did not complete: %s (%zu of %zu bytes taken)\n", indent,
                     index, x.what, outcome_name(ev.result), ev.taken, ev.length);
        return false;
    }
    if (ev.length != x.length) {
        std::fprintf(out, "%s#%zu: %s is %zu bytes, expected %zu\n", indent, index, x.what,
                     ev.length, x.length);
        return false;
    }
    const unsigned char *got = bytes_of(rec, ev);
    const unsigned char *want = e.bytes.data() + x.offset;
    for (std::size_t i = 0; i < x.length; ++i) {
        if (got[i] == want[i])
            continue;
        if (i == 0 && x.either_erase_code && got[0] == wire::code_erase_all)
            continue;
        std::fprintf(out, "%s#%zu: %s byte %zu is %02X, expected %02X\n", indent, index, x.what, i,
                     got[i], want[i]);
        return false;
    }
    return true;
}

// What of the file the rules do not send, and why, so that a match is not
// read as the whole file having reached the device. Nothing when all of it
// went out.
void print_unsent(const expectation &e, const char *name, std::FILE *out, const char *indent)
{
    char parts[3][96];
    int n = 0;
    if (e.whole_pages > wire::max_pages) {
        const std::size_t last = e.whole_pages - 1;
        if (last == wire::max_pages)
            std::snprintf(parts[n++], sizeof parts[0], "page %zu", last);
        else
            std::snprintf(parts[n++], sizeof parts[0], "pages %u-%zu", wire::max_pages, last);
        std::size_t used = std::strlen(parts[n - 1]);
        std::snprintf(parts[n - 1] + used, sizeof parts[0] - used, " (at most %u pages go out)",
                      wire::max_pages);
    }
    if (e.trailer_after_limit)
        std::snprintf(parts[n++], sizeof parts[0],
                      "the %zu-byte trailer (none goes out after %u pages)", wire::trailer_size,
                      wire::max_pages);
    if (e.tail > 0)
        std::snprintf(parts[n++], sizeof parts[0],
                      "a %zu-byte tail (not a whole page, not a %zu-byte trailer)", e.tail,
                      wire::trailer_size);
    if (n == 0)
        return;
    std::fprintf(out, "%snot sent from %s:", indent, name);
    for (int i = 0; i < n; ++i)
        std::fprintf(out, "%s %s", i == 0 ? "" : ";", parts[i]);
    std::fputc('\n', out);
}

// The verdict when every transfer is what the file puts on the wire.
void print_match(const expectation &e, unsigned char erase_code, const char *name, std::FILE *out,
                 const char *indent)
{
    if (e.params) {
        std::fprintf(out, "%sreceived what %s puts on the wire: parameter block\n", indent, name);
        return;
    }
    std::fprintf(out, "%sreceived what %s puts on the wire: erase %02X, %u page%s%s\n", indent,
                 name, erase_code, e.pages, e.pages == 1 ? "" : "s", e.trailer ? ", trailer" : "");
    print_unsent(e, name, out, indent);
}

check_result compare(const recording &rec, const expectation &e, const char *name, std::FILE *out,
                     const char *indent)
{
    std::vector<const event *> got;
    for (const event &ev : rec.events) {
        if (!ev.is_pause)
            got.push_back(&ev);
    }
    // Collect the difference lines first so the verdict can lead.
    char *text = nullptr;
    std::size_t text_size = 0;
    std::FILE *diff = open_memstream(&text, &text_size);
    int lines = 0;
    std::size_t n = got.size() < e.transfers.size() ? got.size() : e.transfers.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (!same_transfer(rec, *got[i], i, e, e.transfers[i], diff, indent))
            lines += 1;
        if (lines == max_difference_lines) {
            std::fprintf(diff, "%s(further differences not listed)\n", indent);
            break;
        }
    }
    if (got.size() < e.transfers.size()) {
        std::fprintf(diff, "%smissing from #%zu on: %s and %zu more transfers\n", indent,
                     got.size(), e.transfers[got.size()].what, e.transfers.size() - got.size() - 1);
        lines += 1;
    } else if (got.size() > e.transfers.size()) {
        std::fprintf(diff, "%s#%zu: %zu transfers more than the file puts on the wire\n", indent,
                     e.transfers.size(), got.size() - e.transfers.size());
        lines += 1;
    }
    std::fclose(diff);

    if (lines == 0)
        print_match(e, e.params ? 0 : rec.data[got[0]->offset], name, out, indent);
    else
        std::fprintf(out, "%sdiffers from %s:\n%s", indent, name, text);
    std::free(text);
    return lines == 0 ? check_result::intact : check_result::differs;
}

bool read_file(const char *path, std::vector<unsigned char> &bytes)
{
    std::FILE *f = std::fopen(path, "rb");
    if (f == nullptr)
        return false;
    unsigned char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

} // namespace

check_result check_image_bytes(const recording &rec, std::span<const unsigned char> file,
                               const char *name, std::FILE *out, const char *indent)
{
    return compare(rec, image_expectation(file), name, out, indent);
}

check_result check_params_bytes(const recording &rec, std::span<const unsigned char> file,
                                const char *name, std::FILE *out, const char *indent)
{
    if (file.size() != wire::params_size) {
        std::fprintf(out, "%s%s is %zu bytes, not a %zu-byte parameter file\n", indent, name,
                     file.size(), wire::params_size);
        return check_result::unreadable;
    }
    return compare(rec, params_expectation(file), name, out, indent);
}

check_result check_image(const recording &rec, const char *path, std::FILE *out, const char *indent)
{
    std::vector<unsigned char> file;
    if (!read_file(path, file)) {
        std::fprintf(out, "%scannot read %s\n", indent, path);
        return check_result::unreadable;
    }
    return check_image_bytes(rec, file, path, out, indent);
}

check_result check_params(const recording &rec, const char *path, std::FILE *out,
                          const char *indent)
{
    std::vector<unsigned char> file;
    if (!read_file(path, file)) {
        std::fprintf(out, "%scannot read %s\n", indent, path);
        return check_result::unreadable;
    }
    return check_params_bytes(rec, file, path, out, indent);
}

} // namespace account
