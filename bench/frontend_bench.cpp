// The front end alone over the null transport: its own cost per page and per
// whole image, with the file read and the progress lines it really does.
#include "bench/null_transport.h"
#include "frontend/run_request.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace
{

constexpr long header_size = 11;
constexpr long page_bytes = 2048;
constexpr long trailer_bytes = 16;
constexpr long page_limit = 240;

bool sequence_wrong = false; // set when a run did not send what it should

// An image of `pages` pages and a trailer, with a content that differs from
// page to page. Returns the open file, positioned past the header the way
// the front end leaves it, or null.
std::FILE *make_image(long pages)
{
    char path[] = "/tmp/flasher-bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return nullptr;
    unlink(path);
    std::FILE *file = fdopen(fd, "w+b");
    if (file == nullptr)
        return nullptr;
    const long size = header_size + pages * page_bytes + trailer_bytes;
    for (long i = 0; i < size; ++i)
        std::fputc(static_cast<int>((i * 7 + i / page_bytes) & 0xFF), file);
    std::fflush(file);
    // The front end reads its image unbuffered, one read per page.
    std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

// Writes and bytes a run over an image of `pages` pages must produce: erase,
// two zero bytes, each page as a header and 32 chunks, and the trailer only
// when the page limit was not reached.
null_transport_counts expected_counts(long pages)
{
    const long sent = pages < page_limit ? pages : page_limit;
    null_transport_counts want;
    const auto whole = static_cast<unsigned long long>(sent);
    want.writes = 3 + whole * 33 + (pages < page_limit ? 1 : 0);
    want.bytes = 12 + 2 + whole * (3 + page_bytes) + (pages < page_limit ? 17 : 0);
    want.pause_seconds = 4;
    return want;
}

// Progress lines go to standard error; send them to /dev/null as a quiet
// terminal would, but keep the write calls they cost.
struct quiet_stderr {
    int saved = dup(STDERR_FILENO);
    quiet_stderr()
    {
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDERR_FILENO);
        close(null_fd);
    }
    ~quiet_stderr()
    {
        dup2(saved, STDERR_FILENO);
        close(saved);
    }
};

void firmware_image(benchmark::State &state)
{
    const long pages = state.range(0);
    std::FILE *image = make_image(pages);
    if (image == nullptr) {
        state.SkipWithError("cannot make the image file");
        sequence_wrong = true;
        return;
    }
    run_request request;
    request.mode = run_mode::firmware;
    request.input = image;
    request.header = {0x5A, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    null_transport_take_counts();

    int status = 0;
    {
        const quiet_stderr quiet;
        for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the loop's idiom
            std::fseek(image, header_size, SEEK_SET);
            status |= erase_and_program(request);
        }
    }

    const null_transport_counts got = null_transport_take_counts();
    const null_transport_counts want = expected_counts(pages);
    const auto runs = static_cast<unsigned long long>(state.iterations());
    if (status != 0 || got.writes != want.writes * runs || got.bytes != want.bytes * runs ||
        got.pause_seconds != want.pause_seconds * runs) {
        state.SkipWithError("the front end did not send the expected sequence");
        sequence_wrong = true;
    }
    const double sent_pages = static_cast<double>(pages < page_limit ? pages : page_limit);
    state.counters["per_page"] = benchmark::Counter(
        sent_pages, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["per_write"] = benchmark::Counter(static_cast<double>(want.writes),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
    state.SetBytesProcessed(static_cast<std::int64_t>(want.bytes * runs));
    std::fclose(image);
}
BENCHMARK(firmware_image)->ArgName("pages")->Arg(1)->Arg(240)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return sequence_wrong ? 1 : 0;
}
