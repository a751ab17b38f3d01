// Fuzz target: the whole front end (flasher_main) over a scripted transport.
//
// Each input chooses an argument vector, FLASHER_USBPATH, an input file (its
// length and content), how many connection attempts fail and the results of
// chosen writes. The run is then judged against an oracle written from the
// message layouts alone, not from the front end's encoders:
//   - the opens, pauses and writes (bytes, lengths, time-outs) are exactly
//     the ones the rules derive from the arguments and the file, in order;
//   - nothing is written after a failed erase, page header, page chunk or
//     parameter write;
//   - the exit status and the last line on stderr name the first failure.
// Any difference prints both sides and aborts, which libFuzzer records as a
// finding.
//
// Input layout (missing bytes read as 0), so that seeds can be written by
// hand (see make_corpus.py):
//   0      argument form: low 3 bits which argv[1], next 2 bits how many
//          more arguments (0-3)
//   1      bits 0-5: two bits per extra argument ("all", the serial text,
//          "ALL", ""); bit 6: FLASHER_USBPATH set; bit 7: odd argv[0]
//   2      connection attempts that fail (mod 5)
//   3      file size kind; 4-7 its parameter (little-endian)
//   8      number of scripted write results (mod 9), then 4 bytes each:
//          write index (16 bits, taken modulo the writes of a clean run),
//          result kind, raw value
//   then   serial text (length byte, bytes), usb path (length byte, bytes)
//   rest   content seed of the file
#include "frontend/events.h"
#include "frontend/run_request.h"
#include "usb/transport.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

// The front end's pause seam.
void flasher_pause(unsigned int seconds);

// The input file is never closed by the program (it lives until exit); the
// harness closes it after each run so that millions of runs do not run out
// of descriptors. The link wraps fopen to learn the stream.
extern "C" FILE *__real_fopen(const char *path, const char *mode);

namespace
{

// ---- what a run did ------------------------------------------------------

enum class ev : std::uint8_t { open, pause, write };

struct event {
    ev what;
    unsigned value;     // write: time-out in ms; pause: seconds
    std::size_t length; // write: byte count
    std::size_t offset; // write: where its bytes start in the byte log
    std::string serial; // open: the selectors, "<absent>" when null
    std::string usb_path;
    bool operator==(const event &) const = default;
};

struct run_log {
    std::vector<event> events;
    std::vector<unsigned char> bytes; // the bytes of every write, in order
    void clear()
    {
        events.clear();
        bytes.clear();
    }
};

// ---- the scripted transport ----------------------------------------------

enum class result_kind : std::uint8_t { full, timeout, error, short_by_one, long_by_one, raw };

struct scripted_result {
    std::size_t index;
    result_kind kind;
    int raw;
};

struct transport_script {
    unsigned failing_opens = 0;
    scripted_result results[8];
    std::size_t count = 0;
};

run_log actual;
transport_script script;
std::size_t opens_made = 0;
std::size_t writes_made = 0;
std::vector<FILE *> opened_files;
bool in_run = false; // only the program's own opens are tracked, not libFuzzer's

const char absent[] = "<absent>";

std::string text_or_absent(const char *text)
{
    return text == nullptr ? std::string(absent) : std::string(text);
}

// The result the script gives the write with this index and length.
int scripted(std::size_t index, int length)
{
    for (std::size_t i = 0; i < script.count; ++i) {
        if (script.results[i].index != index)
            continue;
        switch (script.results[i].kind) {
        case result_kind::full:
            return length;
        case result_kind::timeout:
            return 0;
        case result_kind::error:
            return -1;
        case result_kind::short_by_one:
            return length - 1;
        case result_kind::long_by_one:
            return length + 1;
        case result_kind::raw:
            return script.results[i].raw;
        }
    }
    return length;
}

} // namespace

bool open_usb(const char *serial, const char *usb_path)
{
    actual.events.push_back({ev::open, 0, 0, 0, text_or_absent(serial), text_or_absent(usb_path)});
    return opens_made++ >= script.failing_opens;
}

int flasher_dev_write(const unsigned char *buffer, int length, unsigned int timeout_ms)
{
    const std::size_t n = length < 0 ? 0 : static_cast<std::size_t>(length);
    actual.events.push_back({ev::write, timeout_ms, n, actual.bytes.size(), {}, {}});
    actual.bytes.insert(actual.bytes.end(), buffer, buffer + n);
    return scripted(writes_made++, length);
}

void flasher_pause(unsigned int seconds)
{
    actual.events.push_back({ev::pause, seconds, 0, 0, {}, {}});
}

extern "C" FILE *__wrap_fopen(const char *path, const char *mode)
{
    FILE *file = __real_fopen(path, mode);
    if (file != nullptr && in_run)
        opened_files.push_back(file);
    return file;
}

namespace
{

// ---- reading the input ---------------------------------------------------

// What the program sees of a text: it ends at the first NUL.
std::string c_text(const std::string &s)
{
    return {s.data(), std::strlen(s.data())};
}

struct reader {
    const std::uint8_t *data;
    std::size_t size;
    std::size_t pos = 0;

    std::uint8_t byte()
    {
        return pos < size ? data[pos++] : 0;
    }
    std::uint32_t u32()
    {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(byte()) << (8 * i);
        return v;
    }
    std::string text()
    {
        const std::size_t n = byte();
        std::string s;
        for (std::size_t i = 0; i < n && pos < size; ++i)
            s.push_back(static_cast<char>(data[pos++]));
        return s;
    }
};

// ---- the case under test -------------------------------------------------

enum class first_arg : std::uint8_t {
    none_at_all,
    program_only,
    erase,
    image,
    missing,
    directory,
    erase_other_case,
    image_too
};

struct fuzz_case {
    std::vector<std::string> args; // argv[0] onwards; empty for argc 0
    bool has_usb_path = false;
    std::string usb_path;
    bool uses_image = false;
    std::size_t file_size = 0;
};

constexpr std::size_t page = 2048;
constexpr std::size_t max_file = 11 + 246 * page + 2047;

std::string work_dir;
std::string image_path;
int image_fd = -1;
std::vector<unsigned char> file_content(max_file);

std::size_t pick_size(std::uint8_t kind, std::uint32_t param)
{
    switch (kind % 4) {
    case 0: // small files: 0, 255, 256, 257 and everything near them
        return param % 4096;
    case 1: { // whole pages and a tail: the page limit and the trailer rule
        const std::size_t pages = (param & 0xFF) % 246;
        const std::uint8_t sel = (param >> 8) & 0xFF;
        const std::size_t tails[] = {0, 16, 15, 17};
        const std::size_t tail = sel < 4 ? tails[sel] : (param >> 16) % page;
        return 11 + pages * page + tail;
    }
    case 2: // any length up to a few pages (many pages: kind 1)
        return param % (11 + 8 * page + 64);
    default: // shorter than a header and a little more
        return param % 64;
    }
}

void fill_content(std::size_t size, const std::uint8_t *seed, std::size_t seed_size)
{
    for (std::size_t i = 0; i < size; ++i) {
        auto mix = static_cast<std::uint8_t>((i * 2654435761u) >> 24);
        file_content[i] =
            seed_size == 0 ? mix : static_cast<unsigned char>(seed[i % seed_size] ^ mix);
    }
}

[[noreturn]] void finding(const char *what, const std::string &detail);

void write_image(std::size_t size)
{
    if (ftruncate(image_fd, static_cast<off_t>(size)) != 0 ||
        pwrite(image_fd, file_content.data(), size, 0) != static_cast<ssize_t>(size))
        finding("harness", "cannot write the image file");
}

fuzz_case decode(const std::uint8_t *data, std::size_t size)
{
    reader in{data, size};
    const std::uint8_t form = in.byte();
    const std::uint8_t flags = in.byte();
    script.failing_opens = in.byte() % 5;
    const std::uint8_t size_kind = in.byte();
    const std::uint32_t size_param = in.u32();
    script.count = in.byte() % 9;
    for (std::size_t i = 0; i < script.count; ++i) {
        const std::uint16_t index = static_cast<std::uint16_t>(in.byte() | (in.byte() << 8));
        const auto kind = static_cast<result_kind>(in.byte() % 6);
        const auto raw = static_cast<int>(static_cast<std::int8_t>(in.byte())) * 7;
        script.results[i] = {index, kind, raw};
    }
    const std::string serial = in.text();
    const std::string usb_path = in.text();

    fuzz_case c;
    c.has_usb_path = (flags & 0x40) != 0;
    c.usb_path = c_text(usb_path); // the environment holds a C string
    const auto first = static_cast<first_arg>(form & 7);
    if (first == first_arg::none_at_all)
        return c;
    c.args.push_back((flags & 0x80) != 0 ? "./fl\xc3\xa4sher-\xe2\x9c\x93" : "flasher");
    switch (first) {
    case first_arg::none_at_all:
    case first_arg::program_only:
        return c;
    case first_arg::erase:
        c.args.push_back("erase");
        break;
    case first_arg::image:
    case first_arg::image_too:
        c.args.push_back(image_path);
        c.uses_image = true;
        break;
    case first_arg::missing:
        c.args.push_back(work_dir + "/no-such-image.bin");
        break;
    case first_arg::directory:
        c.args.push_back(work_dir);
        break;
    case first_arg::erase_other_case:
        // Names a file that is not there (fuzzing runs in a build directory).
        c.args.push_back((flags & 1) != 0 ? "ERASE" : "Erase");
        break;
    }
    const unsigned extra = (form >> 3) & 3;
    for (unsigned i = 0; i < extra; ++i) {
        switch ((flags >> (2 * i)) & 3) {
        case 0:
            c.args.push_back("all");
            break;
        case 1:
            c.args.push_back(serial);
            break;
        case 2:
            c.args.push_back("ALL");
            break;
        default:
            c.args.push_back("");
            break;
        }
    }
    if (c.uses_image) {
        c.file_size = pick_size(size_kind, size_param);
        fill_content(c.file_size, data + in.pos, size - in.pos);
        write_image(c.file_size);
    }
    return c;
}

// ---- the oracle ----------------------------------------------------------
//
// Written from the message layouts:
//   parameters (a 256-byte file): E8 (1 byte, 1000 ms), then the 256 bytes
//     (1000 ms); each must go out whole.
//   erase: E1, or E2 when argv[2] is "all", then the first 11 file bytes
//     (zero where the file is shorter, all zero for "erase"), 5000 ms, must
//     go out whole; "erased" is printed either way; then a 4 s pause and two
//     single 00 bytes (10000 ms, results ignored).
//   pages: page n is the 2048 file bytes from 11 + 2048 n, at most 240 pages;
//     each is E4, n high, n low (1000 ms) then 32 writes of 64 bytes
//     (1000 ms), every one of them must go out whole; "page: %-3d" after it.
//   trailer: when fewer than 240 pages went out and exactly 16 bytes follow
//     the last whole page: E0 and those 16 bytes (10000 ms, result ignored).

enum class tag : std::uint8_t {
    params_cmd,
    params_block,
    erase,
    zero,
    page_header,
    chunk,
    trailer
};

struct expectation {
    run_log log;
    std::vector<tag> tags; // one per write
    int status = 0;
    std::string err;
};

struct oracle {
    expectation &e;
    std::size_t writes = 0;

    // Appends a write; true when the script lets it go out whole.
    bool write(tag t, const unsigned char *bytes, std::size_t n, unsigned timeout)
    {
        e.log.events.push_back({ev::write, timeout, n, e.log.bytes.size(), {}, {}});
        e.log.bytes.insert(e.log.bytes.end(), bytes, bytes + n);
        e.tags.push_back(t);
        return scripted(writes++, static_cast<int>(n)) == static_cast<int>(n);
    }
    void fail(const char *line)
    {
        e.err += line;
        e.status = 1;
    }
};

std::string usage(const std::string &program)
{
    return "Usage: " + program + " signed_firmware.bin | params [all] [serial]\n" +
           "Usage: " + program + " erase [all] [serial]\n";
}

void expect_program(oracle &o, const fuzz_case &c, bool erase_only, bool erase_all)
{
    const unsigned char *file = file_content.data();
    const std::size_t size = c.file_size;
    o.e.err += "continuing with flashing\n";
    unsigned char erase[12] = {static_cast<unsigned char>(erase_all ? 0xE2 : 0xE1)};
    for (std::size_t i = 0; !erase_only && i < 11 && i < size; ++i)
        erase[1 + i] = file[i];
    const bool erased = o.write(tag::erase, erase, sizeof erase, 5000);
    o.e.err += "erased\n";
    if (!erased)
        return o.fail("erase error\n");
    o.e.log.events.push_back({ev::pause, 4, 0, 0, {}, {}});
    const unsigned char zero = 0;
    o.write(tag::zero, &zero, 1, 10000);
    o.write(tag::zero, &zero, 1, 10000);
    if (erase_only)
        return;

    std::size_t offset = 11;
    unsigned n = 0;
    for (; n < 240 && size >= 11 && size - offset >= page; ++n, offset += page) {
        const unsigned char header[3] = {0xE4, static_cast<unsigned char>(n >> 8),
                                         static_cast<unsigned char>(n & 0xFF)};
        if (!o.write(tag::page_header, header, 3, 1000))
            return o.fail("error during flashing\n");
        for (std::size_t k = 0; k < 32; ++k) {
            if (!o.write(tag::chunk, file + offset + 64 * k, 64, 1000))
                return o.fail("error during flashing\n");
        }
        char line[32];
        std::snprintf(line, sizeof line, "page: %-3u\n", n);
        o.e.err += line;
    }
    if (n < 240 && size >= 11 && size - offset == 16) {
        unsigned char trailer[17] = {0xE0};
        std::memcpy(trailer + 1, file + offset, 16);
        o.write(tag::trailer, trailer, 17, 10000);
    }
}

expectation expect(const fuzz_case &c)
{
    expectation e;
    oracle o{e};
    const auto &a = c.args;
    if (a.size() < 2) {
        e.err = usage(a.empty() ? "flasher" : c_text(a[0]));
        e.status = 1;
        return e;
    }
    const bool erase_only = std::strcmp(a[1].c_str(), "erase") == 0;
    if (!erase_only && !c.uses_image) {
        e.err = "cannot open firmware " + c_text(a[1]) + "\n";
        e.status = 1;
        return e;
    }
    const bool erase_all = a.size() > 2 && std::strcmp(a[2].c_str(), "all") == 0;
    const std::size_t serial_at = erase_all ? 3 : 2;
    const std::string serial = serial_at < a.size() ? c_text(a[serial_at]) : absent;
    const std::string usb_path = c.has_usb_path ? c.usb_path : absent;

    for (unsigned attempt = 0;; ++attempt) {
        e.log.events.push_back({ev::open, 0, 0, 0, serial, usb_path});
        if (attempt >= script.failing_opens)
            break;
        e.err += "cannot open usb connection, trying again\n";
        e.log.events.push_back({ev::pause, 1, 0, 0, {}, {}});
        if (attempt == 3) {
            o.fail("cannot open usb connection, giving up\n");
            return e;
        }
    }

    if (!erase_only && c.file_size == 256) {
        const unsigned char announce = 0xE8;
        if (!o.write(tag::params_cmd, &announce, 1, 1000)) {
            o.fail("write error\n");
        } else if (!o.write(tag::params_block, file_content.data(), 256, 1000)) {
            o.fail("error writing parameters\n");
        }
        return e;
    }
    expect_program(o, c, erase_only, erase_all);
    return e;
}

// ---- judging -------------------------------------------------------------

FILE *real_stderr = nullptr;
std::string captured_err;

ssize_t capture_write(void *, const char *buf, size_t n)
{
    captured_err.append(buf, n);
    return static_cast<ssize_t>(n);
}

std::string describe(const run_log &log)
{
    std::string s;
    char line[160];
    for (const auto &e : log.events) {
        switch (e.what) {
        case ev::open:
            s += "open serial=" + e.serial + " path=" + e.usb_path + "\n";
            break;
        case ev::pause:
            std::snprintf(line, sizeof line, "pause %u\n", e.value);
            s += line;
            break;
        case ev::write:
            std::snprintf(line, sizeof line, "write %zu bytes, %u ms:", e.length, e.value);
            s += line;
            for (std::size_t i = 0; i < e.length && i < 16; ++i) {
                std::snprintf(line, sizeof line, " %02X", log.bytes[e.offset + i]);
                s += line;
            }
            s += "\n";
            break;
        }
    }
    return s;
}

[[noreturn]] void finding(const char *what, const std::string &detail)
{
    std::fprintf(real_stderr, "\n*** flasher fuzz finding: %s\n%s\n", what, detail.c_str());
    std::fflush(real_stderr);
    std::abort();
}

// The last line with its newline ("" for no output).
std::string last_line(const std::string &text)
{
    if (text.size() < 2)
        return text;
    const std::size_t start = text.rfind('\n', text.size() - 2);
    return start == std::string::npos ? text : text.substr(start + 1);
}

// The stop rule and the last line, judged from what the run did: the first
// required write that did not go out whole must be the last write, and its
// failure must be the last line printed.
void judge_first_failure(const expectation &e, int status)
{
    std::size_t index = 0;
    for (std::size_t i = 0; i < actual.events.size(); ++i) {
        const event &w = actual.events[i];
        if (w.what != ev::write)
            continue;
        const tag t = e.tags[index];
        const int result = scripted(index++, static_cast<int>(w.length));
        if (t == tag::zero || t == tag::trailer || result == static_cast<int>(w.length))
            continue;
        for (std::size_t j = i + 1; j < actual.events.size(); ++j) {
            if (actual.events[j].what == ev::write)
                finding("a write followed a failed one", describe(actual));
        }
        const char *line = t == tag::erase          ? "erase error\n"
                           : t == tag::params_cmd   ? "write error\n"
                           : t == tag::params_block ? "error writing parameters\n"
                                                    : "error during flashing\n";
        if (status != 1 || last_line(captured_err) != line)
            finding("status or last line does not name the first failure",
                    "status " + std::to_string(status) + ", stderr:\n" + captured_err);
        return;
    }
}

void judge(const fuzz_case &c, int status)
{
    const expectation e = expect(c);
    if (actual.events != e.log.events || actual.bytes != e.log.bytes)
        finding("wire differs from the rules",
                "expected:\n" + describe(e.log) + "got:\n" + describe(actual));
    if (status != e.status)
        finding("exit status", "expected " + std::to_string(e.status) + ", got " +
                                   std::to_string(status) + "\nstderr:\n" + captured_err);
    if (captured_err != e.err)
        finding("stderr differs", "expected:\n" + e.err + "got:\n" + captured_err);
    judge_first_failure(e, status);
}

FILE *capture = nullptr;

void remove_work_dir()
{
    rmdir(work_dir.c_str());
}

void set_up()
{
    char templ[] = "/tmp/flasher-fuzz-XXXXXX";
    if (mkdtemp(templ) == nullptr)
        std::abort();
    work_dir = templ;
    // The image lives in memory; the program opens it by its /proc name.
    image_fd = memfd_create("image.bin", 0);
    if (image_fd < 0)
        std::abort();
    image_path = "/proc/self/fd/" + std::to_string(image_fd);
    std::atexit(remove_work_dir);
    real_stderr = stderr;
    capture = fopencookie(nullptr, "w", {nullptr, capture_write, nullptr, nullptr});
    if (capture == nullptr)
        std::abort();
    std::setvbuf(capture, nullptr, _IONBF, 0);
    // The event lines are formatted on every run too (into /dev/null), so
    // the fuzzer's sanitizers see every one of them.
    events_start(open("/dev/null", O_WRONLY | O_CLOEXEC));
    actual.events.reserve(8000);
    actual.bytes.reserve(max_file + std::size_t{8000} * 3);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (capture == nullptr)
        set_up();
    actual.clear();
    opens_made = 0;
    writes_made = 0;
    captured_err.clear();

    fuzz_case c = decode(data, size);
    if (c.has_usb_path)
        setenv("FLASHER_USBPATH", c.usb_path.c_str(), 1);
    else
        unsetenv("FLASHER_USBPATH");

    // Script indices point into the writes of a clean run, so that every
    // position of a short or long image can be hit.
    if (script.count > 0) {
        const transport_script wanted = script;
        script.count = 0;
        const std::size_t clean_writes = expect(c).tags.size();
        script = wanted;
        for (std::size_t i = 0; i < script.count; ++i)
            script.results[i].index %= clean_writes + 1;
    }

    std::vector<char *> argv;
    for (auto &a : c.args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    stderr = capture;
    in_run = true;
    const int status = flasher_main(static_cast<int>(c.args.size()), argv.data());
    in_run = false;
    stderr = real_stderr;

    for (FILE *f : opened_files)
        std::fclose(f);
    opened_files.clear();

    judge(c, status);
    return 0;
}
