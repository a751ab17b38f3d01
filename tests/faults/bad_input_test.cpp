// Bad input at the front end's level, over the recording fake transport: an
// input file that vanishes or changes length once it has been measured. The
// front end reads the file as it is when each read happens; these cases
// record what then goes out.
#include "fake_transport.h"
#include "frontend/run_request.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using support::bytes;
using support::page_lines;
using support::pattern;
using support::write_file;

namespace
{

// The writes an image puts on the wire; `header` is the file as it was
// measured, `pages_from` the file as the pages are read.
std::vector<bytes> image_wire(const bytes &header, const bytes &pages_from)
{
    return support::wire_bytes(support::image_wire(header, pages_from));
}

struct outcome {
    int status;
    std::string err;
    std::vector<bytes> writes;
};

outcome run(const std::string &path)
{
    const support::captured c = support::run_main({path});
    outcome o{c.status, c.err, {}};
    for (const auto &w : writes_of(fake.events))
        o.writes.push_back(w.bytes);
    return o;
}

using BadInputFile = fake_test;

// The file is removed while the device is being found. The program holds it
// open, so what it measured is what goes out.
TEST_F(BadInputFile, VanishedAfterOpeningStillGoesOutWhole)
{
    struct {
        const char *what;
        std::size_t size;
        unsigned pages;
    } cases[] = {{"image", 11 + 2 * 2048 + 16, 2}, {"parameter file", 256, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        reset_fake();
        const std::string path = dir.file("vanishing.bin");
        const bytes content = pattern(c.size, 3);
        write_file(path, content);
        fake.on_open = [&](int) { fs::remove(path); };
        const outcome o = run(path);
        EXPECT_FALSE(fs::exists(path));
        EXPECT_EQ(o.status, 0);
        if (c.size == 256) {
            EXPECT_EQ(o.err, "");
            EXPECT_EQ(o.writes, (std::vector<bytes>{{0xE8}, content}));
        } else {
            EXPECT_EQ(o.err, "continuing with flashing\nerased\n" + page_lines(c.pages));
            EXPECT_EQ(o.writes, image_wire(content, content));
        }
    }
}

// An image measured at one length and read at another: the mode and the
// header come from the file as it was measured, the pages and the trailer
// from the file as it is read. Nothing crashes and nothing is sent that the
// file did not hold when it was read.
TEST_F(BadInputFile, ImageThatChangesLengthAfterTheSizeCheck)
{
    struct {
        const char *what;
        std::size_t measured;
        std::size_t read;
        unsigned pages;
    } cases[] = {
        {"shrinks from two pages and a trailer to one and a trailer", 11 + 2 * 2048 + 16,
         11 + 2048 + 16, 1},
        {"grows from one page to three", 11 + 2048, 11 + 3 * 2048, 3},
        {"grows from a trailer-only image to one page and a trailer", 11 + 16, 11 + 2048 + 16, 1},
        {"shrinks to a parameter file's length: still an image, no page", 300, 256, 0},
        {"shrinks to less than its header: the header was already read", 11 + 2048, 5, 0},
        {"shrinks to nothing", 11 + 2048 + 16, 0, 0},
        {"grows past 240 pages", 11 + 16, 11 + 241 * 2048 + 16, 240},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        reset_fake();
        const std::string path = dir.file("changing.bin");
        const bytes before = pattern(c.measured, 1);
        const bytes after = pattern(c.read, 2);
        write_file(path, before);
        fake.on_open = [&](int) { write_file(path, after); };
        const outcome o = run(path);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.err, "continuing with flashing\nerased\n" + page_lines(c.pages));
        EXPECT_EQ(o.writes, image_wire(before, after));
    }
}

} // namespace
