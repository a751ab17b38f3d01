#include "gang_facts.h"

#include "support.h"

#include <gtest/gtest.h>

namespace gang_facts
{

std::vector<json> record_lines(const std::string &path)
{
    const std::string text = support::read_text(path, "");
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "a cut last line in " << path;
    std::vector<json> lines;
    std::size_t from = 0;
    for (std::size_t eol; (eol = text.find('\n', from)) != std::string::npos; from = eol + 1) {
        const std::string line = text.substr(from, eol - from);
        json parsed = json::parse(line, nullptr, false);
        EXPECT_FALSE(parsed.is_discarded()) << line;
        if (!parsed.is_discarded())
            lines.push_back(std::move(parsed));
    }
    return lines;
}

std::vector<json> last_run_lines(const std::string &path)
{
    std::vector<json> lines = record_lines(path);
    if (!lines.empty()) {
        const json run = lines.back()["run"];
        std::erase_if(lines, [&run](const json &line) { return line["run"] != run; });
    }
    return lines;
}

std::vector<json> plug_ins(const json &account)
{
    std::vector<json> all;
    for (const json &device : account.value("devices", json::array())) {
        if (!device.contains("plug_ins")) {
            json plug = device;
            plug["plug_in"] = 1;
            all.push_back(plug);
            continue;
        }
        for (json plug : device["plug_ins"]) {
            if (!plug.value("arrived", false))
                continue;
            plug["usb_path"] = device["usb_path"];
            all.push_back(plug);
        }
    }
    return all;
}

bool took_whole_image(const json &plug)
{
    if (!plug.contains("check"))
        return false;
    const json &check = plug["check"];
    if (check.value("result", "") == "intact")
        return true;
    // "differs from FILE:", then one line per difference, "#N: ...", each
    // indented (more for a plug-in's than for a device's).
    const std::string text = check.value("text", "");
    std::size_t from = text.find('\n');
    if (from == std::string::npos)
        return false;
    bool any = false;
    for (std::size_t eol; (eol = text.find('\n', ++from)) != std::string::npos; from = eol) {
        std::string line = text.substr(from, eol - from);
        line.erase(0, line.find_first_not_of(' '));
        if (!line.starts_with("#1: ") && !line.starts_with("#2: "))
            return false;
        any = true;
    }
    return any;
}

std::vector<bool> zero_bytes_taken(const json &plug)
{
    std::vector<bool> taken;
    for (const json &m : plug["account"]["messages"]) {
        if (m.value("kind", "") == "zero_byte")
            taken.push_back(m.value("outcome", "") == "completed" &&
                            m.value("taken", -1) == m.value("length", -2));
    }
    return taken;
}

std::size_t erases(const json &plug)
{
    std::size_t n = 0;
    for (const json &m : plug["account"]["messages"])
        n += m.value("kind", "") == "erase" ? 1 : 0;
    return n;
}

json line_for(const std::vector<json> &lines, const std::string &usb_path, int plug_in)
{
    json found;
    int count = 0;
    for (const json &line : lines) {
        const int n = line["plug_in"].is_null() ? 0 : line["plug_in"].get<int>();
        if (line["usb_path"] == usb_path && n == plug_in) {
            found = line;
            ++count;
        }
    }
    EXPECT_LE(count, 1) << usb_path << " plug-in " << plug_in << ": lines of one board";
    return found;
}

} // namespace gang_facts
