#include "tools/gang/summary.h"

#include "tools/gang/options.h"
#include "tools/probe/words.h"

#include <cstdio>

namespace
{

std::string result_text(const board &b)
{
    if (b.result == board_result::failed && b.exit_status >= 0)
        return "failed (" + std::to_string(b.exit_status) + ")";
    if (b.result == board_result::failed && b.signal > 0)
        return "failed (signal " + std::to_string(b.signal) + ")";
    return result_name(b.result);
}

void print_table(const gang_run &run)
{
    std::printf("%-12s %-20s %-12s %7s  %s\n", "usb path", "serial", "result", "seconds",
                "last line");
    for (const board &b : run.boards) {
        const bool flashed = b.result != board_result::not_flashed;
        char seconds[16] = "-";
        if (flashed)
            std::snprintf(seconds, sizeof seconds, "%.1f", board_seconds(b, b.end));
        // flasher pads its page numbers; the column does not need the spaces.
        std::string last = flashed ? b.last_line : b.reason;
        last.erase(last.find_last_not_of(' ') + 1);
        std::printf("%-12s %-20s %-12s %7s  %s\n", b.usb_path.c_str(),
                    b.serial.empty() ? "-" : b.serial.c_str(), result_text(b).c_str(), seconds,
                    last.empty() ? "-" : last.c_str());
    }
    std::printf("logs: %s\n", run.dir.c_str());
}

std::string rerun_line(const gang_run &run, const board &b)
{
    return "FLASHER_USBPATH=" + shell_word(b.usb_path) + " " +
           shell_command(run.flasher_argv[0],
                         {run.flasher_argv.begin() + 1, run.flasher_argv.end()});
}

bool counts_as_failure(const board &b, bool skip_unusable)
{
    if (b.result == board_result::not_flashed)
        return !skip_unusable;
    return b.result != board_result::ok;
}

void print_notes(const gang_run &run, bool skip_unusable, std::size_t failures)
{
    const bool params = run.facts.mode == "parameters";
    std::string half;
    for (const board &b : run.boards) {
        if (half_written(b, params))
            half += " " + b.usb_path;
        if (b.result == board_result::not_flashed && !b.advice.empty())
            std::fprintf(stderr, "flasher-gang: %s: %s\n", b.usb_path.c_str(), b.advice.c_str());
    }
    if (run.interrupted)
        std::fprintf(stderr, "flasher-gang: interrupted; left half-written:%s\n",
                     half.empty() ? " none" : half.c_str());
    else if (!half.empty())
        std::fprintf(stderr, "flasher-gang: left half-written:%s\n", half.c_str());
    if (run.record_failed)
        std::fprintf(stderr, "flasher-gang: the record could not be written in full\n");
    if (failures == 0)
        return;
    std::fprintf(stderr, "flasher-gang: %zu of %zu devices did not succeed; to run one again:\n",
                 failures, run.boards.size());
    for (const board &b : run.boards) {
        if (counts_as_failure(b, skip_unusable))
            std::fprintf(stderr, "  %s\n", rerun_line(run, b).c_str());
    }
}

} // namespace

int summarize(const gang_run &run, bool skip_unusable)
{
    std::size_t failures = 0;
    for (const board &b : run.boards)
        failures += counts_as_failure(b, skip_unusable) ? 1 : 0;
    const int status = run.interrupted                     ? gang_interrupted
                       : failures > 0 || run.record_failed ? gang_failed
                                                           : gang_all_ok;
    if (run.disp.mode == display_mode::json) {
        std::printf("%s", json_line({{"event", "end"},
                                     {"run", run.facts.run_id},
                                     {"dir", run.dir},
                                     {"interrupted", run.interrupted},
                                     {"status", status}})
                              .c_str());
    } else {
        print_table(run);
    }
    std::fflush(stdout);
    print_notes(run, skip_unusable, failures);
    return status;
}
