#include "fake_transport.h"

#include "frontend/pause.h"
#include "usb/transport.h"

fake_usb fake;

void reset_fake()
{
    fake = fake_usb{};
}

std::vector<fake_event> writes_of(const std::vector<fake_event> &events)
{
    std::vector<fake_event> out;
    for (const auto &e : events)
        if (e.what == fake_event::kind::write)
            out.push_back(e);
    return out;
}

std::vector<unsigned int> pauses_of(const std::vector<fake_event> &events)
{
    std::vector<unsigned int> out;
    for (const auto &e : events)
        if (e.what == fake_event::kind::pause)
            out.push_back(e.seconds);
    return out;
}

static std::optional<std::string> text_or_absent(const char *text)
{
    if (text == nullptr)
        return std::nullopt;
    return std::string(text);
}

bool open_usb(const char *serial, const char *usb_path)
{
    fake_event e{fake_event::kind::open, text_or_absent(serial), text_or_absent(usb_path), {}};
    fake.events.push_back(e);
    const std::size_t attempt = fake.opens++;
    if (fake.on_open)
        fake.on_open(static_cast<int>(attempt));
    return attempt < fake.open_results.size() ? fake.open_results[attempt] : true;
}

int flasher_dev_write(const unsigned char *buffer, int length, unsigned int timeout_ms)
{
    fake_event e{fake_event::kind::write, std::nullopt, std::nullopt,
                 std::vector<unsigned char>(buffer, buffer + length)};
    e.timeout_ms = timeout_ms;
    fake.events.push_back(e);
    const auto scripted = fake.write_results.find(fake.writes++);
    return scripted != fake.write_results.end() ? scripted->second : length;
}

void flasher_pause(unsigned int seconds)
{
    fake_event e{fake_event::kind::pause, std::nullopt, std::nullopt, {}};
    e.seconds = seconds;
    fake.events.push_back(e);
}
