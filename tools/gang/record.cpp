#include "tools/gang/record.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace
{

std::string id_hex(unsigned id)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", id & 0xFFFF);
    return text;
}

nlohmann::ordered_json image_of(const run_facts &run)
{
    if (run.image.empty())
        return nullptr;
    return {{"given", run.image}, {"size", run.image_size}, {"sha256", run.image_sha256}};
}

nlohmann::ordered_json text_or_null(const std::string &text, bool known)
{
    return known ? nlohmann::ordered_json(text) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json done_of(const board &b)
{
    if (b.result != board_result::skipped)
        return nullptr;
    return {{"run", b.done.run}, {"end", b.done.end}, {"usb_path", b.done.usb_path}};
}

nlohmann::ordered_json seconds_of(const board &b)
{
    if (b.result == board_result::not_flashed || b.result == board_result::skipped)
        return nullptr;
    // Milliseconds are all a person or a script needs.
    return static_cast<double>(std::llround(board_seconds(b, b.end) * 1000.0)) / 1000.0;
}

} // namespace

nlohmann::ordered_json board_record(const run_facts &run, const board &b)
{
    const bool flashed = b.result != board_result::not_flashed && b.result != board_result::skipped;
    nlohmann::ordered_json r = {
        {"schema", record_schema},
        {"run", run.run_id},
        {"host", run.host},
        {"start", rfc3339_utc(b.start_wall)},
        {"end", rfc3339_utc(b.end_wall)},
        {"usb_path", b.usb_path},
        {"plug_in", b.plug_in > 0 ? nlohmann::ordered_json(b.plug_in) : nullptr},
        {"serial", text_or_null(b.serial, !b.serial.empty())},
        {"mode", run.mode},
        {"erase_all", run.erase_all},
        {"image", image_of(run)},
        {"plan", {{"pages", run.plan_pages}, {"trailer", run.plan_trailer}}},
        {"pages_reported", b.pages_reported},
        {"result", result_name(b.result)},
        {"reason", text_or_null(b.reason, b.result == board_result::not_flashed)},
        {"done", done_of(b)},
        {"exit_status", b.exit_status >= 0 ? nlohmann::ordered_json(b.exit_status) : nullptr},
        {"signal", b.signal > 0 ? nlohmann::ordered_json(b.signal) : nullptr},
        {"last_line", text_or_null(b.last_line, flashed)},
        {"seconds", seconds_of(b)},
        {"flasher", {{"path", run.flasher}, {"vid", id_hex(run.vid)}, {"pid", id_hex(run.pid)}}},
    };
    return r;
}

std::string json_line(const nlohmann::ordered_json &object)
{
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

bool append_record(int fd, const std::string &line)
{
    ssize_t n;
    do {
        n = write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(line.size()) && fsync(fd) == 0;
}

int open_record(const std::string &path)
{
    return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}
