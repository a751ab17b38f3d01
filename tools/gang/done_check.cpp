#include "tools/gang/done_check.h"

#include "tools/gang/signals.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

namespace
{

const char stopped_first[] = "not looked up: the run was stopped first";
const char left_first[] = "unplugged before the database answered";

// Lines other gangs appended since the last look count too.
void read_the_record_on(done_index &index)
{
    follow_record(index);
    for (const std::string &note : take_notes(index))
        std::fprintf(stderr, "flasher-gang: %s\n", note.c_str());
}

} // namespace

milliseconds lookup_wait()
{
    const char *given = std::getenv("FLASHER_GANG_LOOKUP_MS");
    if (given == nullptr || *given == '\0')
        return lookup_wait_default;
    char *end = nullptr;
    const long ms = std::strtol(given, &end, 10);
    return *end == '\0' && ms >= 1 && ms <= 60000 ? milliseconds(ms) : lookup_wait_default;
}

void done_check::flash_unless_done(board &b, bool serial_shared)
{
    if (sink_.done == nullptr) {
        pool_.start(b);
        return;
    }
    read_the_record_on(*sink_.done);
    const skip_answer local = decide_skip(*sink_.done, b.found.serial, sink_.facts.image_sha256,
                                          sink_.facts.mode, serial_shared);
    // An empty or shared serial, or a record that cannot be read: the
    // database is not asked either.
    if (sink_.database == nullptr || local.lookup != "record") {
        settle(b, local);
        return;
    }
    const unsigned id =
        sink_.database->look_up(b.found.serial, sink_.facts.image_sha256, sink_.facts.mode,
                                std::chrono::steady_clock::now() + wait_);
    asked_[id] = &b;
    b.asking = true;
    show_phase(sink_.disp, b);
    show_changed(sink_.disp);
}

void done_check::settle(board &b, const skip_answer &answer)
{
    b.outcome.done_lookup = answer.lookup;
    if (!answer.skip) {
        if (!answer.why.empty())
            std::fprintf(stderr, "flasher-gang: %s: %s\n", printable_line(b.found.usb_path).c_str(),
                         printable_line(answer.why).c_str());
        pool_.start(b);
        return;
    }
    b.outcome.done = answer.done;
    end_unstarted(sink_, b, board_result::skipped, answer.why);
}

void done_check::left(board &b)
{
    for (auto it = asked_.begin(); it != asked_.end(); ++it) {
        if (it->second != &b)
            continue;
        asked_.erase(it);
        b.asking = false;
        b.outcome.done_lookup = "not looked up: the board left first";
        end_unstarted(sink_, b, board_result::not_flashed, left_first);
        return;
    }
}

void done_check::add_to(wait_set &set)
{
    // A stop that came while boards wait ends them in this round.
    if (pending() && (pool_.stopping() || stop_requested()))
        set.wake_now();
}

void done_check::take(const wait_set &)
{
    if (pending() && (pool_.stopping() || stop_requested())) {
        for (auto &[id, b] : std::exchange(asked_, {})) {
            b->asking = false;
            settle(*b, {false, {}, stopped_first, ""}); // started: it ends as stopped
        }
    }
    if (sink_.database == nullptr)
        return;
    for (const database_answer &a : sink_.database->take_answers()) {
        const auto found = asked_.find(a.id);
        if (found == asked_.end())
            continue; // its board left, or the run stopped, first
        board &b = *found->second;
        asked_.erase(found);
        b.asking = false;
        if (!a.answered) {
            settle(b, {false,
                       {},
                       "not looked up: " + a.not_looked_up,
                       "not skipped: not looked up: " + a.detail});
            continue;
        }
        read_the_record_on(*sink_.done);
        settle(b, decide_skip_with_database(*sink_.done, b.found.serial, sink_.facts.image_sha256,
                                            sink_.facts.mode, a.latest));
    }
}
