#include "tools/gang/ending.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace
{

void mark_ended(board &b)
{
    b.end_wall = std::chrono::system_clock::now();
    b.end = std::chrono::steady_clock::now();
    b.ended = true;
}

void record(board_sink &sink, board &b)
{
    const nlohmann::ordered_json line = record_line(sink.facts, line_of(b));
    if (!sink.records.write(json_line(line)))
        std::fprintf(stderr, "flasher-gang: %s; the line is kept and written when it can be\n",
                     sink.records.error().c_str());
    if (sink.database != nullptr)
        sink.database->appended();
    if (sink.done != nullptr)
        note_line(*sink.done, line);
    show_ended(sink.disp, b, line);
    if (sink.ports == nullptr)
        return;
    if (const std::optional<port_news> news = sink.ports->note(b.found.usb_path, b.outcome.result))
        show_port_health(sink.disp, news->usb_path, news->failures_in_a_row, port_news_text(*news));
}

} // namespace

board_line line_of(const board &b)
{
    board_line line;
    line.usb_path = b.found.usb_path;
    line.plug_in = b.found.plug_in;
    line.serial = board_serial(b);
    line.start = b.start_wall;
    line.end = b.end_wall;
    line.seconds = board_seconds(b, b.end).value_or(-1);
    line.result = result_name(b.outcome.result);
    line.reason = b.outcome.reason;
    line.done = b.outcome.done;
    line.done_lookup = b.outcome.done_lookup;
    if (b.started) {
        line.taken = b.events.tally;
        line.last_line = b.last_line;
        line.exit_status = b.process.exit.exit_status;
        line.signal = b.process.exit.signal;
    }
    return line;
}

void end_unstarted(board_sink &sink, board &b, board_result result, std::string reason)
{
    mark_ended(b);
    b.start_wall = b.end_wall;
    b.start = b.end;
    b.outcome.result = result;
    b.outcome.reason = std::move(reason);
    record(sink, b);
}

void end_flashed(board_sink &sink, board &b)
{
    mark_ended(b);
    const board_verdict v =
        judge_flasher(sink.plan, b.events.tally, b.events.started, b.process.exit, b.stopped);
    b.outcome.result = v.result;
    b.outcome.reason = v.reason;
    record(sink, b);
}

bool record_writable(board_sink &sink, board &b)
{
    const std::size_t pending = sink.records.pending();
    const bool written = sink.records.flush();
    if (pending > 0 && sink.database != nullptr)
        sink.database->appended(); // lines that waited may be in the file now
    if (written)
        return true;
    end_unstarted(sink, b, board_result::not_flashed,
                  sink.records.error() + "; no board is flashed until it can be");
    return false;
}

std::vector<std::string> status_lines(const board_sink &sink)
{
    std::vector<std::string> lines;
    if (sink.ports != nullptr)
        lines = sink.ports->flagged();
    if (sink.database != nullptr) {
        if (std::string waiting = sink.database->status_line(); !waiting.empty())
            lines.push_back(std::move(waiting));
    }
    return lines;
}
