#include "tools/gang/record.h"

#include <cerrno>
#include <cmath>
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

template <typename T> nlohmann::ordered_json or_null(const std::optional<T> &value)
{
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json text_or_null(const std::string &text)
{
    return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
}

nlohmann::ordered_json taken_of(const std::optional<message_tally> &t)
{
    if (!t)
        return nullptr;
    return {{"messages", t->messages},        {"erase", or_null(t->erase)},
            {"zero_bytes", t->zero_bytes},    {"pages", t->pages},
            {"trailer", or_null(t->trailer)}, {"params", or_null(t->params)}};
}

nlohmann::ordered_json done_of(const std::optional<done_record> &d)
{
    if (!d)
        return nullptr;
    return {{"run", d->run}, {"end", d->end}, {"usb_path", d->usb_path}, {"station", d->station}};
}

} // namespace

// A stand-in for the record branch's record_line, in the fields' order;
// that branch's version replaces it.
nlohmann::ordered_json record_line(const run_facts &run, const board_line &b)
{
    return {
        {"schema", record_schema},
        {"run", run.run_id},
        {"host", run.host},
        {"start", rfc3339_utc(b.start)},
        {"end", rfc3339_utc(b.end)},
        {"usb_path", b.usb_path},
        {"plug_in", b.plug_in > 0 ? nlohmann::ordered_json(b.plug_in) : nullptr},
        {"serial", text_or_null(b.serial)},
        {"mode", run.mode},
        {"erase_all", run.erase_all},
        {"image", image_of(run)},
        {"plan", {{"pages", run.plan_pages}, {"trailer", run.plan_trailer}}},
        {"taken", taken_of(b.taken)},
        {"result", b.result},
        {"reason", text_or_null(b.reason)},
        {"done", done_of(b.done)},
        {"done_lookup", text_or_null(b.done_lookup)},
        {"exit_status", b.exit_status >= 0 ? nlohmann::ordered_json(b.exit_status) : nullptr},
        {"signal", b.signal > 0 ? nlohmann::ordered_json(b.signal) : nullptr},
        {"last_line", or_null(b.last_line)},
        {"seconds", b.seconds < 0
                        ? nlohmann::ordered_json(nullptr)
                        : nlohmann::ordered_json(
                              static_cast<double>(std::llround(b.seconds * 1000.0)) / 1000.0)},
        {"flasher", {{"path", run.flasher}, {"vid", id_hex(run.vid)}, {"pid", id_hex(run.pid)}}},
    };
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
