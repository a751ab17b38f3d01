#include "tools/gang/summary.h"

#include "tools/gang/options.h"
#include "tools/gang/record.h"
#include "tools/gang/text.h"
#include "tools/probe/words.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>

namespace
{

// flasher ended by itself, unsuccessfully: its status says why, and its
// last line says more.
bool failed_by_itself(const board &b)
{
    const flasher_exit &e = b.process.exit;
    return b.outcome.result == board_result::failed && b.stopped == stop_cause::none &&
           (e.exit_status > 0 || e.signal > 0);
}

std::string result_text(const board &b)
{
    if (failed_by_itself(b) && b.process.exit.exit_status > 0)
        return "failed (" + std::to_string(b.process.exit.exit_status) + ")";
    if (failed_by_itself(b))
        return "failed (signal " + std::to_string(b.process.exit.signal) + ")";
    return result_name(b.outcome.result);
}

// The table's last column: flasher's last line, or the gang's reason where
// that line would mislead (a trailer not taken after a last "page:" line).
std::string said(const board &b)
{
    const bool last =
        b.started && (b.outcome.result == board_result::ok ||
                      b.outcome.result == board_result::interrupted || failed_by_itself(b));
    const std::string text = printable_line(last ? b.last_line : b.outcome.reason);
    return text.empty() ? "-" : text;
}

bool counts_as_failure(const board &b, bool skip_unusable)
{
    if (b.outcome.result == board_result::not_flashed)
        return !skip_unusable;
    return b.outcome.result != board_result::ok && b.outcome.result != board_result::skipped;
}

// The table: every board, or (a session's) only those that did not succeed.
void print_table(const run_summary &run, bool failures_only)
{
    std::vector<const board *> shown;
    for (const board &b : run.boards) {
        if (!failures_only || counts_as_failure(b, false))
            shown.push_back(&b);
    }
    const board_columns columns = columns_for(shown);
    std::printf("%s %s %-12s %7s  %s\n", cell("usb path", columns.path).c_str(),
                cell("serial", columns.serial).c_str(), "result", "seconds", "last line");
    for (const board *b : shown) {
        char seconds[16] = "-";
        if (const std::optional<double> s = board_seconds(*b, b->end))
            std::snprintf(seconds, sizeof seconds, "%.1f", *s);
        std::printf("%s %s %-12s %7s  %s\n",
                    cell(printable_line(b->found.usb_path), columns.path).c_str(),
                    cell(shown_serial(*b), columns.serial).c_str(), result_text(*b).c_str(),
                    seconds, said(*b).c_str());
    }
    std::printf("logs: %s\n", run.dir.c_str());
}

std::string rerun_line(const run_summary &run, const board &b)
{
    return "FLASHER_USBPATH=" + shell_word(b.found.usb_path) + " " +
           shell_command(run.flasher_argv[0],
                         {run.flasher_argv.begin() + 1, run.flasher_argv.end()});
}

std::string board_name(const board &b)
{
    const std::string path = printable_line(b.found.usb_path);
    return b.found.plug_in > 0 ? path + " (plug-in " + std::to_string(b.found.plug_in) + ")" : path;
}

// What stands after the table: the remedies (each once), the boards left
// half-written, the commands that run again each board that did not succeed.
void print_notes(const run_summary &run, std::size_t failures, const char *stopped)
{
    std::string half;
    std::set<std::string> advised;
    for (const board &b : run.boards) {
        if (half_written(b))
            half += (half.empty() ? " " : ", ") + board_name(b);
        if (b.outcome.result == board_result::not_flashed && !b.found.advice.empty() &&
            advised.insert(b.found.usb_path + b.found.advice).second)
            std::fprintf(stderr, "flasher-gang: %s: %s\n", printable_line(b.found.usb_path).c_str(),
                         b.found.advice.c_str());
    }
    if (run.interrupted)
        std::fprintf(stderr, "flasher-gang: %s; left half-written:%s\n", stopped,
                     half.empty() ? " none" : half.c_str());
    else if (!half.empty())
        std::fprintf(stderr, "flasher-gang: left half-written:%s\n", half.c_str());
    if (run.record_failed)
        std::fprintf(stderr, "flasher-gang: the record could not be written in full\n");
    if (!run.database_note.empty())
        std::fprintf(stderr, "flasher-gang: %s\n", run.database_note.c_str());
    if (run.database_waiting > 0)
        std::fprintf(stderr,
                     "flasher-gang: record: %ld %s not yet shipped to the database; the next "
                     "start with --record-db ships %s first\n",
                     run.database_waiting, run.database_waiting == 1 ? "line" : "lines",
                     run.database_waiting == 1 ? "it" : "them");
    if (failures == 0)
        return;
    std::fprintf(stderr, "flasher-gang: %zu of %zu boards did not succeed; to run one again:\n",
                 failures, run.boards.size());
    std::set<std::string> given;
    for (const board &b : run.boards) {
        if (counts_as_failure(b, run.skip_unusable) && given.insert(b.found.usb_path).second)
            std::fprintf(stderr, "  %s\n", rerun_line(run, b).c_str());
    }
}

void print_end_event(const run_summary &run, const nlohmann::ordered_json &event)
{
    nlohmann::ordered_json head = {{"event", "end"}, {"run", run.run_id}, {"dir", run.dir}};
    head.update(event);
    if (run.database_waiting >= 0)
        head["database_waiting"] = run.database_waiting;
    std::printf("%s", json_line(head).c_str());
}

} // namespace

int summarize(const run_summary &run)
{
    std::size_t failures = 0, usable = 0;
    for (const board &b : run.boards) {
        failures += counts_as_failure(b, run.skip_unusable) ? 1 : 0;
        usable += b.found.usable ? 1 : 0;
    }
    // --skip-unusable passes over the boards flasher cannot use, not over
    // a run that flashed nothing.
    const bool none_usable = usable == 0;
    const int status = run.interrupted                                    ? gang_interrupted
                       : failures > 0 || run.record_failed || none_usable ? gang_failed
                                                                          : gang_all_ok;
    if (run.mode == display_mode::json)
        print_end_event(run, {{"interrupted", run.interrupted}, {"status", status}});
    else
        print_table(run, false);
    std::fflush(stdout);
    print_notes(run, failures, "interrupted");
    if (none_usable && !run.interrupted)
        std::fprintf(stderr, "flasher-gang: no device could be flashed\n");
    return status;
}

session_tally tally(const std::deque<board> &boards)
{
    session_tally t;
    for (const board &b : boards) {
        const board_result r = b.outcome.result;
        t.ok += r == board_result::ok ? 1 : 0;
        t.failed += r == board_result::failed || r == board_result::interrupted ? 1 : 0;
        t.not_flashed += r == board_result::not_flashed ? 1 : 0;
        t.skipped += r == board_result::skipped ? 1 : 0;
    }
    return t;
}

std::string tally_text(const session_tally &t)
{
    return std::to_string(t.ok) + " ok, " + std::to_string(t.failed) + " failed, " +
           std::to_string(t.not_flashed) + " not flashed, " + std::to_string(t.skipped) +
           " skipped";
}

int summarize_session(const run_summary &run)
{
    const session_tally t = tally(run.boards);
    const std::size_t failures = t.failed + t.not_flashed;
    const int status = failures > 0 || run.record_failed ? gang_failed : gang_all_ok;
    if (run.mode == display_mode::json) {
        print_end_event(run, {{"ok", t.ok},
                              {"failed", t.failed},
                              {"not_flashed", t.not_flashed},
                              {"skipped", t.skipped},
                              {"status", status}});
    } else {
        std::printf("session: %s\n", tally_text(t).c_str());
        if (failures > 0)
            print_table(run, true);
        else
            std::printf("logs: %s\n", run.dir.c_str());
    }
    std::fflush(stdout);
    print_notes(run, failures, "session ended");
    return status;
}
