// The account decoder and the image/parameter checker, on recordings built
// by hand from the wire format.
#include "tools/account/account.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using account::outcome;
using account::recording;
using bytes = std::vector<unsigned char>;

namespace
{

// A step of a hand-made recording.
struct step {
    bytes data;
    std::size_t taken;
    outcome result;
    unsigned pause; // a pause of this many seconds instead of a transfer, when data is empty
};

step ok(bytes data)
{
    std::size_t n = data.size();
    return {std::move(data), n, outcome::completed, 0};
}

step failed(bytes data, outcome result, std::size_t taken = 0)
{
    return {std::move(data), taken, result, 0};
}

step pause(unsigned seconds)
{
    return {{}, 0, outcome::completed, seconds};
}

const bytes header = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

bytes erase_msg(unsigned char code = 0xE1)
{
    bytes b(12);
    b[0] = code;
    for (std::size_t i = 0; i < header.size(); ++i)
        b[1 + i] = header[i];
    return b;
}

bytes chunk(unsigned page, unsigned k)
{
    bytes b(64);
    for (unsigned i = 0; i < 64; ++i)
        b[i] = static_cast<unsigned char>(page * 3 + k + i);
    return b;
}

bytes trailer_msg()
{
    bytes b = {0xE0};
    for (unsigned i = 0; i < 16; ++i)
        b.push_back(static_cast<unsigned char>(0xA0 + i));
    return b;
}

// A page: header then `chunks` whole chunks.
void add_page(std::vector<step> &steps, unsigned number, unsigned chunks = 32)
{
    steps.push_back(ok({0xE4, static_cast<unsigned char>(number >> 8),
                        static_cast<unsigned char>(number & 0xFF)}));
    for (unsigned k = 0; k < chunks; ++k)
        steps.push_back(ok(chunk(number, k)));
}

std::vector<step> erased_run()
{
    return {ok(erase_msg()), pause(4), ok({0}), ok({0})};
}

recording record(const std::vector<step> &steps, bool pauses = true)
{
    recording rec;
    rec.pauses_observed = pauses;
    for (const step &s : steps) {
        if (s.data.empty() && s.pause > 0)
            account::record_pause(rec, s.pause);
        else
            account::record_transfer(rec, s.data, s.taken, s.result);
    }
    return rec;
}

template <typename F> std::string capture(F print)
{
    char *text = nullptr;
    std::size_t size = 0;
    std::FILE *f = open_memstream(&text, &size);
    print(f);
    std::fclose(f);
    std::string s(text, size);
    std::free(text);
    return s;
}

std::string text_of(const recording &rec)
{
    return capture([&](std::FILE *f) { account::print_account(rec, f); });
}

// The protocol-break lines only.
std::string problems_of(const recording &rec)
{
    std::string all = text_of(rec);
    std::string lines;
    std::size_t at = 0;
    while ((at = all.find("protocol", at)) != std::string::npos) {
        std::size_t end = all.find('\n', at);
        lines += all.substr(at, end + 1 - at);
        at = end;
    }
    return lines;
}

TEST(Account, WellFormedFirmwareRun)
{
    std::vector<step> steps = erased_run();
    add_page(steps, 0);
    add_page(steps, 1);
    add_page(steps, 2);
    steps.push_back(ok(trailer_msg()));
    EXPECT_EQ(text_of(record(steps)),
              "transfers: 103, bytes taken: 6184\n"
              "#0     erase E1, header 01 02 03 04 05 06 07 08 09 0A 0B\n"
              "       pause 4 s\n"
              "#1     zero byte\n"
              "#2     zero byte\n"
              "#3     pages 0-2 (3 pages)\n"
              "#102   trailer A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF\n"
              "protocol: followed\n");
    EXPECT_TRUE(account::follows_protocol(record(steps)));
}

TEST(Account, ParameterRun)
{
    bytes block(256, 0x5A);
    recording rec = record({ok({0xE8}), ok(block)});
    EXPECT_EQ(text_of(rec), "transfers: 2, bytes taken: 257\n"
                            "#0     parameter announcement E8\n"
                            "#1     parameter block, 256 bytes\n"
                            "protocol: followed\n");
}

struct break_case {
    const char *name;
    std::vector<step> steps;
    std::string problems;
};

std::vector<step> with_pages(std::vector<step> steps, const std::vector<unsigned> &numbers,
                             unsigned chunks = 32)
{
    for (unsigned n : numbers)
        add_page(steps, n, chunks);
    return steps;
}

std::vector<step> plus(std::vector<step> steps, std::vector<step> more)
{
    steps.insert(steps.end(), more.begin(), more.end());
    return steps;
}

class Breaks : public ::testing::TestWithParam<break_case>
{
};

TEST_P(Breaks, AreTold)
{
    recording rec = record(GetParam().steps);
    EXPECT_EQ(problems_of(rec), GetParam().problems);
    EXPECT_FALSE(account::follows_protocol(rec));
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, Breaks,
    ::testing::Values(
        break_case{"PageGap", with_pages(erased_run(), {0, 2}),
                   "protocol broken at #36: page 1 missing before page 2\n"},
        break_case{"SeveralPagesMissing", with_pages(erased_run(), {0, 4}),
                   "protocol broken at #36: pages 1 to 3 missing before page 4\n"},
        break_case{"PageRepeated", with_pages(erased_run(), {0, 1, 1}),
                   "protocol broken at #69: page 1 repeated after page 1\n"},
        break_case{"FirstPageNotZero", with_pages(erased_run(), {5}),
                   "protocol broken at #3: first page is 5, not 0\n"},
        break_case{"ShortPageThenNext", plus(with_pages(erased_run(), {0}, 5), {ok({0xE4, 0, 1})}),
                   "protocol broken at #3: page 0 has 5 of 32 chunks\n"
                   "protocol broken at #9: page 1 has 0 of 32 chunks\n"},
        break_case{"ShortPageAtEnd", with_pages(erased_run(), {0}, 31),
                   "protocol broken at #3: page 0 has 31 of 32 chunks\n"},
        break_case{"UnknownCode", plus(erased_run(), {ok({0xE7, 1, 2})}),
                   "protocol broken at #3: unknown message of 3 bytes starting E7\n"},
        break_case{"SentAfterFailure",
                   plus(erased_run(),
                        {failed({0xE4, 0, 0}, outcome::stalled), ok(chunk(0, 0)), ok(chunk(0, 1))}),
                   "protocol broken at #4: 2 transfers sent after transfer #3 failed\n"
                   "protocol broken at #4: unknown message of 64 bytes starting 00\n"
                   "protocol broken at #5: unknown message of 64 bytes starting 01\n"},
        break_case{"NoPauseAfterErase",
                   {ok(erase_msg()), ok({0}), ok({0})},
                   "protocol broken at #1: no 4 s pause between the erase and the zero bytes\n"},
        break_case{"OneZeroByte",
                   {ok(erase_msg()), pause(4), ok({0})},
                   "protocol broken at #2: only 1 of 2 zero bytes after the erase\n"},
        break_case{"PageBeforeErase", with_pages({}, {0}),
                   "protocol broken at #0: page 0 header before any erase\n"},
        break_case{"AnnouncementWithoutBlock",
                   {ok({0xE8})},
                   "protocol broken at #1: parameter announcement without a block\n"},
        break_case{"ShortParameterBlock",
                   {ok({0xE8}), ok(bytes(255, 1))},
                   "protocol broken at #1: parameter block of 255 bytes, not 256\n"},
        break_case{"SomethingAfterTrailer",
                   plus(plus(erased_run(), {ok(trailer_msg())}), {ok({0})}),
                   "protocol broken at #4: zero byte out of place (after the trailer)\n"},
        break_case{"WrongChunkLength", plus(with_pages(erased_run(), {0}, 3), {ok(bytes(63, 0))}),
                   "protocol broken at #7: page 0 chunk 3 is 63 bytes, not 64\n"
                   "protocol broken at #3: page 0 has 4 of 32 chunks\n"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Account, TrailerAfter240PagesIsABreak)
{
    std::vector<unsigned> numbers;
    for (unsigned p = 0; p < 240; ++p)
        numbers.push_back(p);
    recording rec = record(plus(with_pages(erased_run(), numbers), {ok(trailer_msg())}));
    EXPECT_EQ(problems_of(rec), "protocol broken at #7923: trailer after 240 pages\n");
    recording more = record(with_pages(erased_run(), {0}));
    numbers.push_back(240);
    recording over = record(with_pages(erased_run(), numbers));
    EXPECT_EQ(problems_of(over), "protocol broken at #7923: more than 240 pages\n");
    EXPECT_EQ(problems_of(more), "protocol: followed\n");
}

// Failures the host handles correctly (it stops) are shown but not breaks.
TEST(Account, FailuresAreShownWithWhatWasTaken)
{
    std::vector<step> steps = with_pages(erased_run(), {0});
    steps.push_back(ok({0xE4, 0, 1}));
    steps.push_back(ok(chunk(1, 0)));
    steps.push_back(failed(chunk(1, 1), outcome::short_taken, 10));
    recording rec = record(steps);
    EXPECT_EQ(text_of(rec), "transfers: 39, bytes taken: 2142\n"
                            "#0     erase E1, header 01 02 03 04 05 06 07 08 09 0A 0B\n"
                            "       pause 4 s\n"
                            "#1     zero byte\n"
                            "#2     zero byte\n"
                            "#3     page 0\n"
                            "#36    page 1: 1 of 32 chunks, chunk 1 (#38): short (10 of 64 bytes "
                            "taken)\n"
                            "protocol: followed\n");
}

TEST(Account, Json)
{
    recording rec =
        record({ok(erase_msg(0xE2)), pause(4), ok({0}), failed({0}, outcome::timed_out)});
    EXPECT_EQ(capture([&](std::FILE *f) { account::print_account_json(rec, f); }),
              "{\"transfers\":3,\"bytes_taken\":13,\"follows_protocol\":true,\"messages\":["
              "{\"kind\":\"erase\",\"transfer\":0,\"code\":\"E2\",\"header\":"
              "\"0102030405060708090A0B\",\"outcome\":\"completed\",\"length\":12,\"taken\":12},"
              "{\"kind\":\"pause\",\"seconds\":4},"
              "{\"kind\":\"zero_byte\",\"transfer\":1,\"outcome\":\"completed\",\"length\":1,"
              "\"taken\":1},"
              "{\"kind\":\"zero_byte\",\"transfer\":2,\"outcome\":\"timed out\",\"length\":1,"
              "\"taken\":0}],\"problems\":[]}");
}

// ---- the checker ----

// An image file: header 01..0B, `pages` pages, then `tail` bytes.
bytes image_file(unsigned pages, std::size_t tail)
{
    bytes f = header;
    for (unsigned p = 0; p < pages; ++p) {
        for (unsigned k = 0; k < 32; ++k) {
            bytes c = chunk(p, k);
            f.insert(f.end(), c.begin(), c.end());
        }
    }
    for (std::size_t t = 0; t < tail; ++t)
        f.push_back(static_cast<unsigned char>(0xA0 + t));
    return f;
}

std::string check_text(const recording &rec, const bytes &file, account::check_result expected)
{
    account::check_result got = account::check_result::unreadable;
    std::string text =
        capture([&](std::FILE *f) { got = account::check_image_bytes(rec, file, "img.bin", f); });
    EXPECT_EQ(got, expected) << text;
    return text;
}

TEST(Check, EraseAllIsAccepted)
{
    std::vector<step> steps = erased_run();
    steps[0] = ok(erase_msg(0xE2));
    EXPECT_EQ(check_text(record(steps), image_file(0, 0), account::check_result::intact),
              "received what img.bin puts on the wire: erase E2, 0 pages\n");
}

// A match says what of the file the rules leave unsent and why: pages past
// the 240th, a trailer after 240 pages, a tail that is not exactly 16 bytes.
struct unsent_case {
    const char *name;
    unsigned pages; // in the file
    std::size_t tail;
    std::string text;
};

class Unsent : public ::testing::TestWithParam<unsent_case>
{
};

TEST_P(Unsent, NamedAfterTheMatch)
{
    const unsent_case &c = GetParam();
    std::vector<unsigned> numbers;
    for (unsigned p = 0; p < c.pages && p < 240; ++p)
        numbers.push_back(p);
    std::vector<step> steps = with_pages(erased_run(), numbers);
    if (c.pages < 240 && c.tail == 16)
        steps.push_back(ok(trailer_msg()));
    EXPECT_EQ(check_text(record(steps), image_file(c.pages, c.tail), account::check_result::intact),
              c.text);
}

const std::string sent_240 = "received what img.bin puts on the wire: erase E1, 240 pages\n";
const std::string trailer_kept = "the 16-byte trailer (none goes out after 240 pages)";

INSTANTIATE_TEST_SUITE_P(
    Files, Unsent,
    ::testing::Values(
        unsent_case{"Trailer", 2, 16,
                    "received what img.bin puts on the wire: erase E1, 2 pages, trailer\n"},
        unsent_case{"WholePages", 1, 0,
                    "received what img.bin puts on the wire: erase E1, 1 page\n"},
        unsent_case{"OddTail", 1, 20,
                    "received what img.bin puts on the wire: erase E1, 1 page\n"
                    "not sent from img.bin: a 20-byte tail (not a whole page, not a 16-byte "
                    "trailer)\n"},
        unsent_case{"TailWithoutPages", 0, 7,
                    "received what img.bin puts on the wire: erase E1, 0 pages\n"
                    "not sent from img.bin: a 7-byte tail (not a whole page, not a 16-byte "
                    "trailer)\n"},
        unsent_case{"TrailerAfter240", 240, 16,
                    sent_240 + "not sent from img.bin: " + trailer_kept + "\n"},
        unsent_case{"OnePageBeyond", 241, 16,
                    sent_240 + "not sent from img.bin: page 240 (at most 240 pages go out); " +
                        trailer_kept + "\n"},
        unsent_case{"PagesBeyondAndTail", 245, 7,
                    sent_240 + "not sent from img.bin: pages 240-244 (at most 240 pages go out); "
                               "a 7-byte tail (not a whole page, not a 16-byte trailer)\n"}),
    [](const auto &info) { return std::string(info.param.name); });

// A trailer the rules send must arrive.
TEST(Check, MissingTrailerDiffers)
{
    recording one_page = record(with_pages(erased_run(), {0}));
    EXPECT_EQ(check_text(one_page, image_file(1, 16), account::check_result::differs),
              "differs from img.bin:\nmissing from #36 on: trailer message and 0 more transfers\n");
}

TEST(Check, Differences)
{
    std::vector<step> steps = with_pages(erased_run(), {0, 1});
    steps[4 + 1 + 33].data[5] ^= 0xFF; // page 1 chunk 0 byte 5
    steps.push_back(ok(trailer_msg()));
    steps.push_back(ok({0}));
    EXPECT_EQ(check_text(record(steps), image_file(2, 16), account::check_result::differs),
              "differs from img.bin:\n"
              "#37: page 1 chunk 0 byte 5 is F7, expected 08\n"
              "#70: 1 transfers more than the file puts on the wire\n");
}

TEST(Check, FailedTransferAndWrongHeader)
{
    std::vector<step> steps = erased_run();
    steps[0].data[11] = 0x00;
    steps.push_back(failed({0xE4, 0, 0}, outcome::stalled));
    EXPECT_EQ(check_text(record(steps), image_file(1, 0), account::check_result::differs),
              "differs from img.bin:\n"
              "#0: erase message byte 11 is 00, expected 0B\n"
              "#3: page 0 header did not complete: stalled (0 of 3 bytes taken)\n"
              "missing from #4 on: page 0 chunk 0 and 31 more transfers\n");
}

// A 256-byte file goes out as a parameter block.
TEST(Check, ParameterFiles)
{
    bytes block(256);
    for (unsigned i = 0; i < 256; ++i)
        block[i] = static_cast<unsigned char>(i ^ 0x55);
    recording rec = record({ok({0xE8}), ok(block)});
    EXPECT_EQ(check_text(rec, block, account::check_result::intact),
              "received what img.bin puts on the wire: parameter block\n");
    std::string text = capture([&](std::FILE *f) {
        EXPECT_EQ(account::check_params_bytes(rec, bytes(255), "p.bin", f),
                  account::check_result::unreadable);
    });
    EXPECT_EQ(text, "p.bin is 255 bytes, not a 256-byte parameter file\n");
    bytes other = block;
    other[255] = 0;
    text = capture([&](std::FILE *f) {
        EXPECT_EQ(account::check_params_bytes(rec, other, "p.bin", f),
                  account::check_result::differs);
    });
    EXPECT_EQ(text, "differs from p.bin:\n#1: parameter block byte 255 is AA, expected 00\n");
}

TEST(Check, UnreadableFile)
{
    recording rec;
    std::string text = capture([&](std::FILE *f) {
        EXPECT_EQ(account::check_image(rec, "/nonexistent/img.bin", f),
                  account::check_result::unreadable);
    });
    EXPECT_EQ(text, "cannot read /nonexistent/img.bin\n");
}

} // namespace
