#include "tools/gang/summary.h"

#include "tools/gang/options.h"
#include "tools/probe/words.h"

#include <cstdio>
#include <set>

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

bool counts_as_failure(const board &b, bool skip_unusable)
{
    if (b.result == board_result::not_flashed)
        return !skip_unusable;
    return b.result != board_result::ok && b.result != board_result::skipped;
}

// The table: every board, or (a session's) only those that did not succeed.
void print_table(const gang_run &run, bool failures_only)
{
    std::printf("%-12s %-20s %-12s %7s  %s\n", "usb path", "serial", "result", "seconds",
                "last line");
    for (const board &b : run.boards) {
        if (failures_only && !counts_as_failure(b, false))
            continue;
        const bool flashed =
            b.result != board_result::not_flashed && b.result != board_result::skipped;
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

std::string board_name(const board &b)
{
    return b.plug_in > 0 ? b.usb_path + " (plug-in " + std::to_string(b.plug_in) + ")" : b.usb_path;
}

// What stands after the table: the remedies (each once), the boards left
// half-written, the commands that run again each board that did not succeed.
void print_notes(const gang_run &run, bool skip_unusable, std::size_t failures, const char *stopped)
{
    const bool params = run.facts.mode == "parameters";
    std::string half;
    std::set<std::string> advised;
    for (const board &b : run.boards) {
        if (half_written(b, params))
            half += (half.empty() ? " " : ", ") + board_name(b);
        if (b.result == board_result::not_flashed && !b.advice.empty() &&
            advised.insert(b.usb_path + b.advice).second)
            std::fprintf(stderr, "flasher-gang: %s: %s\n", b.usb_path.c_str(), b.advice.c_str());
    }
    if (run.interrupted)
        std::fprintf(stderr, "flasher-gang: %s; left half-written:%s\n", stopped,
                     half.empty() ? " none" : half.c_str());
    else if (!half.empty())
        std::fprintf(stderr, "flasher-gang: left half-written:%s\n", half.c_str());
    if (run.record_failed)
        std::fprintf(stderr, "flasher-gang: the record could not be written in full\n");
    if (failures == 0)
        return;
    std::fprintf(stderr, "flasher-gang: %zu of %zu boards did not succeed; to run one again:\n",
                 failures, run.boards.size());
    std::set<std::string> given;
    for (const board &b : run.boards) {
        if (counts_as_failure(b, skip_unusable) && given.insert(b.usb_path).second)
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
        print_table(run, false);
    }
    std::fflush(stdout);
    print_notes(run, skip_unusable, failures, "interrupted");
    return status;
}

session_tally tally(const gang_run &run)
{
    session_tally t;
    for (const board &b : run.boards) {
        t.ok += b.result == board_result::ok ? 1 : 0;
        t.failed += b.result == board_result::failed || b.result == board_result::interrupted;
        t.not_flashed += b.result == board_result::not_flashed ? 1 : 0;
        t.skipped += b.result == board_result::skipped ? 1 : 0;
    }
    return t;
}

std::string tally_text(const session_tally &t)
{
    return std::to_string(t.ok) + " ok, " + std::to_string(t.failed) + " failed, " +
           std::to_string(t.not_flashed) + " not flashed, " + std::to_string(t.skipped) +
           " skipped";
}

int summarize_session(const gang_run &run)
{
    const session_tally t = tally(run);
    const std::size_t failures = t.failed + t.not_flashed;
    const int status = failures > 0 || run.record_failed ? gang_failed : gang_all_ok;
    if (run.disp.mode == display_mode::json) {
        std::printf("%s", json_line({{"event", "end"},
                                     {"run", run.facts.run_id},
                                     {"dir", run.dir},
                                     {"ok", t.ok},
                                     {"failed", t.failed},
                                     {"not_flashed", t.not_flashed},
                                     {"skipped", t.skipped},
                                     {"status", status}})
                              .c_str());
    } else {
        std::printf("session: %s\n", tally_text(t).c_str());
        if (failures > 0)
            print_table(run, true);
        else
            std::printf("logs: %s\n", run.dir.c_str());
    }
    std::fflush(stdout);
    print_notes(run, false, failures, "session ended");
    return status;
}
