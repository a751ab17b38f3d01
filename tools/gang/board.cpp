#include "tools/gang/board.h"

double board_seconds(const board &b, steady_time now)
{
    const steady_time until = b.phase == board_phase::ended ? b.end : now;
    return std::chrono::duration<double>(until - b.start).count();
}

bool half_written(const board &b, bool parameter_upload)
{
    if (b.result == board_result::ok || b.result == board_result::not_flashed ||
        b.result == board_result::skipped)
        return false;
    // A parameter upload prints nothing between connecting and the end.
    return b.erase_seen || (parameter_upload && b.connected);
}

const char *result_name(board_result result)
{
    switch (result) {
    case board_result::ok:
        return "ok";
    case board_result::failed:
        return "failed";
    case board_result::interrupted:
        return "interrupted";
    case board_result::not_flashed:
        return "not flashed";
    case board_result::skipped:
        return "skipped";
    case board_result::none:
        break;
    }
    return "running";
}
