// The front end's two halves, run dry: prepare_run reads the command line and
// classifies the input; perform_run connects through the dry-run back-end
// (which records the device search and takes every message) and sends.
#include "tools/probe/dry_run.h"

#include "frontend/pause.h"
#include "frontend/protocol.h"
#include "tools/probe/spool.h"
#include "tools/probe/temp_file.h"

#include <cstdio>
#include <unistd.h>
#include <vector>

// The pauses change nothing in what is sent: a dry run skips them.
void flasher_pause(unsigned int) {}

namespace
{

// How much of a stream of unknown size is read past the point where flasher
// stops, to tell how much of it flasher leaves: enough for any real image.
constexpr long long drain_limit = 64LL << 20;
// How much of it the front end is given to read: it reads at most max_pages
// whole pages after the header; one more page stands for the read that
// decides the trailer, should it ever come after the last page.
constexpr long long spool_limit =
    static_cast<long long>(max_pages + 1) * static_cast<long long>(page_size);
static_assert(spool_limit <= drain_limit, "the copy is counted within the drain");

// Sends stderr to a temporary file while it lives; keeps the last line.
class stderr_kept
{
  public:
    stderr_kept() : file_(open_temporary_file())
    {
        std::fflush(stderr);
        if (file_ != nullptr) {
            saved_ = dup(2);
            dup2(fileno(file_), 2);
        }
    }
    ~stderr_kept()
    {
        restore();
        if (file_ != nullptr)
            std::fclose(file_);
    }
    stderr_kept(const stderr_kept &) = delete;
    stderr_kept &operator=(const stderr_kept &) = delete;

    std::string last_line()
    {
        restore();
        std::string last, line;
        if (file_ == nullptr)
            return last;
        std::rewind(file_);
        for (int c = std::fgetc(file_); c != EOF; c = std::fgetc(file_)) {
            if (c != '\n') {
                line += static_cast<char>(c);
                continue;
            }
            last = line;
            line.clear();
        }
        return line.empty() ? last : line;
    }

  private:
    void restore()
    {
        std::fflush(stderr);
        if (saved_ >= 0) {
            dup2(saved_, 2);
            close(saved_);
            saved_ = -1;
        }
    }
    std::FILE *file_;
    int saved_ = -1;
};

} // namespace

dry_run run_dry(int argc, char **argv)
{
    dry_run run;
    stderr_kept kept;
    const int prepared = prepare_run(argc, argv, run.request);
    if (prepared >= 0) {
        run.status = prepared;
        run.last_line = kept.last_line();
        return run;
    }
    run.prepared = true;

    // A source whose size cannot be told is read from a copy, so that what
    // flasher leaves of it can be told afterwards. The request still says
    // its size cannot be told: the front end took its decisions on that.
    spooled_source source{run.request.input};
    const bool spooled = run.request.mode == run_mode::firmware && run.request.input_size < 0 &&
                         spool(source, spool_limit);
    if (spooled)
        run.request.input = source.copy;
    run.status = perform_run(run.request);
    run.last_line = kept.last_line();
    if (spooled) {
        const source_count count = count_source(source, drain_limit);
        run.counted_at_least = count.at_least;
        run.counted_total = static_cast<long long>(run.request.header_read) + count.bytes;
        run.request.input = source.from;
    }
    return run;
}

dry_run run_program_dry(const char *program, int argc, char **argv, int first, const char *&serial)
{
    std::vector<char *> own{const_cast<char *>(program)};
    for (int i = first; i < argc; ++i)
        own.push_back(argv[i]);
    own.push_back(nullptr);
    const int own_argc = static_cast<int>(own.size()) - 1;
    dry_run run = run_dry(own_argc, own.data());
    run_request selectors;
    parse_selectors(own_argc, own.data(), selectors);
    serial = selectors.serial;
    return run;
}
