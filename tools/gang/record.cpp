#include "tools/gang/record.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace
{

using json = nlohmann::ordered_json;

std::string id_hex(unsigned id)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", id & 0xFFFF);
    return text;
}

json text_or_null(const std::string &text)
{
    return text.empty() ? json(nullptr) : json(text);
}

template <typename T> json value_or_null(const std::optional<T> &value)
{
    return value ? json(*value) : json(nullptr);
}

json image_of(const run_facts &run)
{
    if (run.image.empty())
        return nullptr;
    return {{"given", run.image}, {"size", run.image_size}, {"sha256", run.image_sha256}};
}

json taken_of(const board_line &b)
{
    if (!b.taken)
        return nullptr;
    const message_tally &t = *b.taken;
    return {{"messages", t.messages},
            {"erase", value_or_null(t.erase)},
            {"zero_bytes", t.zero_bytes},
            {"pages", t.pages},
            {"trailer", value_or_null(t.trailer)},
            {"params", value_or_null(t.params)}};
}

json done_of(const board_line &b)
{
    if (!b.done)
        return nullptr;
    return {{"run", b.done->run},
            {"end", b.done->end},
            {"usb_path", b.done->usb_path},
            {"station", text_or_null(b.done->station)}};
}

json seconds_of(const board_line &b)
{
    if (b.seconds < 0)
        return nullptr;
    // Milliseconds are all a person or a script needs.
    return static_cast<double>(std::llround(b.seconds * 1000.0)) / 1000.0;
}

} // namespace

json record_line(const run_facts &run, const board_line &b)
{
    return {
        {"schema", record_schema},
        {"run", run.run_id},
        {"station", run.station},
        {"host", run.host},
        {"start", rfc3339_utc(b.start)},
        {"end", rfc3339_utc(b.end)},
        {"usb_path", b.usb_path},
        {"plug_in", b.plug_in > 0 ? json(b.plug_in) : json(nullptr)},
        {"serial", text_or_null(b.serial)},
        {"mode", run.mode},
        {"erase_all", run.erase_all},
        {"image", image_of(run)},
        {"plan", {{"pages", run.plan_pages}, {"trailer", run.plan_trailer}}},
        {"taken", taken_of(b)},
        {"result", b.result},
        {"reason", text_or_null(b.reason)},
        {"done", done_of(b)},
        {"done_lookup", text_or_null(b.done_lookup)},
        {"exit_status", b.exit_status >= 0 ? json(b.exit_status) : json(nullptr)},
        {"signal", b.signal > 0 ? json(b.signal) : json(nullptr)},
        {"last_line", b.last_line ? json(printable_line(*b.last_line)) : json(nullptr)},
        {"seconds", seconds_of(b)},
        {"flasher", {{"path", run.flasher}, {"vid", id_hex(run.vid)}, {"pid", id_hex(run.pid)}}},
    };
}

std::string printable_line(std::string_view text)
{
    // flasher pads its page numbers; the spaces carry nothing.
    text = text.substr(0, text.find_last_not_of(' ') + 1);
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out += c;
        }
    }
    return out;
}

std::string json_line(const json &object)
{
    return object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}
