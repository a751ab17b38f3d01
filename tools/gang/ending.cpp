#include "tools/gang/ending.h"

#include <cstdio>

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
    if (sink.done != nullptr)
        note_line(*sink.done, line);
    show_ended(sink.disp, b, line);
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
    if (sink.records.flush())
        return true;
    end_unstarted(sink, b, board_result::not_flashed,
                  sink.records.error() + "; no board is flashed until it can be");
    return false;
}

bool skip_if_done(board_sink &sink, board &b, bool serial_shared)
{
    if (sink.done == nullptr)
        return false;
    // Lines other gangs appended since the last look count too.
    follow_record(*sink.done);
    for (const std::string &note : take_notes(*sink.done))
        std::fprintf(stderr, "flasher-gang: %s\n", note.c_str());
    const skip_answer answer = decide_skip(*sink.done, b.found.serial, sink.facts.image_sha256,
                                           sink.facts.mode, serial_shared);
    b.outcome.done_lookup = answer.lookup;
    if (!answer.skip) {
        if (!answer.why.empty())
            std::fprintf(stderr, "flasher-gang: %s: %s\n", printable_line(b.found.usb_path).c_str(),
                         printable_line(answer.why).c_str());
        return false;
    }
    b.outcome.done = answer.done;
    end_unstarted(sink, b, board_result::skipped, answer.why);
    return true;
}
