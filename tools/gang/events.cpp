#include "tools/gang/events.h"

#include "frontend/protocol.h"

#include <charconv>

namespace
{

bool whole(const event_line &line)
{
    const std::optional<long> asked = number_of(line, "asked"), took = number_of(line, "took");
    return asked && took && *asked == *took;
}

std::optional<std::string_view> text_of(const event_line &line, std::string_view key)
{
    for (const auto &[k, v] : line.values) {
        if (k == key)
            return std::string_view(v);
    }
    return std::nullopt;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The serial's bytes from their lower-case hex; "-" (the read failed) and
// anything that is not hex give nullopt.
std::optional<std::string> serial_of(std::string_view hex)
{
    if (hex.size() % 2 != 0)
        return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = hex_digit(hex[i]), low = hex_digit(hex[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    return bytes;
}

void count(event_state &s, bool taken)
{
    s.tally.messages += taken ? 1 : 0;
}

void on_start(event_state &s, const event_line &)
{
    s.started = true;
}

void on_attempt(event_state &s, const event_line &line)
{
    if (number_of(line, "opened") == 0 && s.step == flasher_step::starting)
        s.step = flasher_step::retrying;
}

void on_opened(event_state &s, const event_line &line)
{
    s.opened = true;
    const std::optional<std::string_view> hex = text_of(line, "serial");
    s.serial = hex ? serial_of(*hex) : std::nullopt;
    s.step = flasher_step::connected;
}

// The board may be changed from here on: the message is in the transport's
// hands, whatever becomes of it.
void on_begin(event_state &s, const event_line &line)
{
    const std::optional<std::string_view> what = text_of(line, "what");
    if (what == "erase") {
        s.tally.erase = false;
        s.step = flasher_step::erasing;
    } else if (what == "params") {
        s.tally.params = false;
        s.step = flasher_step::parameters;
    } else {
        return;
    }
    s.board_changed = true;
}

void on_erase(event_state &s, const event_line &line)
{
    const bool taken = whole(line);
    s.tally.erase = taken;
    count(s, taken);
    if (taken)
        s.step = flasher_step::settling;
}

void on_zero(event_state &s, const event_line &line)
{
    const bool taken = whole(line);
    s.tally.zero_bytes.push_back(taken);
    count(s, taken);
}

void on_page(event_state &s, const event_line &line)
{
    const bool header = number_of(line, "header") == static_cast<long>(page_header_size);
    const long chunks = number_of(line, "chunks").value_or(0);
    if (chunks < 0 || chunks > static_cast<long>(chunks_per_page))
        return;
    s.tally.messages += (header ? 1 : 0) + static_cast<unsigned>(chunks);
    if (header && chunks == static_cast<long>(chunks_per_page))
        ++s.tally.pages;
    s.step = flasher_step::paging;
}

void on_trailer(event_state &s, const event_line &line)
{
    const bool taken = whole(line);
    s.tally.trailer = taken;
    count(s, taken);
    s.step = flasher_step::trailer;
}

void on_announce(event_state &s, const event_line &line)
{
    s.announce_whole = whole(line);
    count(s, s.announce_whole);
}

void on_params(event_state &s, const event_line &line)
{
    const bool taken = whole(line);
    count(s, taken);
    s.tally.params = s.announce_whole && taken;
}

void on_end(event_state &s, const event_line &line)
{
    const std::optional<long> status = number_of(line, "status");
    if (status)
        s.end_status = static_cast<int>(*status);
}

struct event_kind {
    std::string_view kind;
    void (*take)(event_state &, const event_line &);
};
constexpr event_kind event_kinds[] = {
    {"start", on_start},   {"attempt", on_attempt}, {"opened", on_opened},
    {"begin", on_begin},   {"erase", on_erase},     {"zero", on_zero},
    {"page", on_page},     {"trailer", on_trailer}, {"announce", on_announce},
    {"params", on_params}, {"end", on_end},
};

bool is_word(std::string_view text)
{
    if (text.empty())
        return false;
    for (const char c : text) {
        if (!((c >= 'a' && c <= 'z') || c == '_'))
            return false;
    }
    return true;
}

} // namespace

bool parse_event_line(std::string_view line, event_line &out)
{
    out = {};
    std::size_t space = line.find(' ');
    if (!is_word(line.substr(0, space)))
        return false;
    out.kind = line.substr(0, space);
    while (space != std::string_view::npos) {
        const std::size_t from = space + 1;
        space = line.find(' ', from);
        const std::string_view token = line.substr(from, space - from);
        const std::size_t equals = token.find('=');
        if (equals == std::string_view::npos || !is_word(token.substr(0, equals)))
            return false;
        out.values.emplace_back(token.substr(0, equals), token.substr(equals + 1));
    }
    return true;
}

std::optional<long> number_of(const event_line &line, std::string_view key)
{
    const std::optional<std::string_view> text = text_of(line, key);
    if (!text || text->empty())
        return std::nullopt;
    long value = 0;
    const char *end = text->data() + text->size();
    const auto [at, error] = std::from_chars(text->data(), end, value);
    if (error != std::errc() || at != end)
        return std::nullopt;
    return value;
}

void take_event(event_state &state, std::string_view line)
{
    event_line parsed;
    if (!parse_event_line(line, parsed)) {
        ++state.malformed;
        return;
    }
    for (const event_kind &k : event_kinds) {
        if (k.kind == parsed.kind) {
            k.take(state, parsed);
            return;
        }
    }
}

bool take_event_bytes(event_state &state, std::string_view bytes)
{
    const flasher_step step = state.step;
    const unsigned pages = state.tally.pages;
    state.partial.append(bytes);
    std::size_t from = 0;
    for (std::size_t eol; (eol = state.partial.find('\n', from)) != std::string::npos;
         from = eol + 1)
        take_event(state, std::string_view(state.partial).substr(from, eol - from));
    state.partial.erase(0, from);
    return state.step != step || state.tally.pages != pages;
}
