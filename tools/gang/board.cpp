#include "tools/gang/board.h"

namespace
{

// Each result's two texts, in one place: the record's word, and the view's.
struct result_texts {
    board_result result;
    const char *name;
    const char *phase;
};
constexpr result_texts results[] = {
    {board_result::none, "running", "running"},
    {board_result::ok, "ok", "done"},
    {board_result::failed, "failed", "failed"},
    {board_result::interrupted, "interrupted", "interrupted"},
    {board_result::not_flashed, "not flashed", "not flashed"},
    {board_result::skipped, "skipped", "already done"},
};

const result_texts &texts_of(board_result result)
{
    for (const result_texts &t : results) {
        if (t.result == result)
            return t;
    }
    return results[0];
}

struct step_text {
    flasher_step step;
    const char *text;
};
constexpr step_text steps[] = {
    {flasher_step::starting, "starting"},
    {flasher_step::retrying, "cannot connect, trying again"},
    {flasher_step::connected, "connected"},
    {flasher_step::erasing, "erasing"},
    {flasher_step::settling, "erased"},
    {flasher_step::trailer, "trailer"},
    {flasher_step::parameters, "uploading parameters"},
};

} // namespace

bool running(const board &b)
{
    return b.started && !b.process.reaped;
}

std::optional<double> board_seconds(const board &b, steady_time now)
{
    if (!b.started)
        return std::nullopt;
    const steady_time until = b.ended ? b.end : now;
    return std::chrono::duration<double>(until - b.start).count();
}

std::string board_serial(const board &b)
{
    return b.events.serial ? *b.events.serial : b.found.serial;
}

bool serial_shared(const std::deque<board> &boards, const board &b)
{
    const std::string &serial = b.found.serial;
    if (serial.empty())
        return false;
    for (const board &other : boards) {
        if (other.found.usb_path != b.found.usb_path && board_serial(other) == serial)
            return true;
    }
    return false;
}

bool half_written(const board &b)
{
    return b.events.board_changed && b.outcome.result != board_result::ok;
}

const char *result_name(board_result result)
{
    return texts_of(result).name;
}

std::string phase_text(const board &b, unsigned planned_pages)
{
    if (b.outcome.result != board_result::none)
        return texts_of(b.outcome.result).phase;
    // Not started yet: asking the database whether it is done, judged
    // unusable for now (and tried again), or waiting for the flasher of the
    // port's last plug-in to end.
    if (!b.started && b.asking)
        return "asking the database";
    if (!b.started)
        return b.found.reason.empty() ? "waiting" : texts_of(board_result::not_flashed).phase;
    if (b.events.step == flasher_step::paging)
        return "page " + std::to_string(b.events.tally.pages) + " of " +
               std::to_string(planned_pages);
    for (const step_text &s : steps) {
        if (s.step == b.events.step)
            return s.text;
    }
    return texts_of(board_result::none).phase;
}
