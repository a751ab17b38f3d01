#include "tools/gang/port_health.h"

#include "tools/gang/record.h"

std::optional<port_news> port_health::note(const std::string &usb_path, board_result result)
{
    unsigned &count = in_a_row_[usb_path];
    if (result == board_result::ok) {
        const unsigned before = count;
        count = 0;
        if (before >= failures_flagged)
            return port_news{usb_path, 0, before};
        return std::nullopt;
    }
    if (result != board_result::failed)
        return std::nullopt;
    ++count;
    if (count >= failures_flagged)
        return port_news{usb_path, count, 0};
    return std::nullopt;
}

std::vector<std::string> port_health::flagged() const
{
    std::vector<std::string> lines;
    for (const auto &[path, count] : in_a_row_) {
        if (count >= failures_flagged)
            lines.push_back(port_news_text({path, count, 0}));
    }
    return lines;
}

std::string port_news_text(const port_news &news)
{
    const std::string port = "port " + printable_line(news.usb_path) + ": ";
    if (news.failures_in_a_row == 0)
        return port + "ok again after " + std::to_string(news.before) + " failures in a row";
    return port + std::to_string(news.failures_in_a_row) +
           " failures in a row: check the cable or fixture";
}
