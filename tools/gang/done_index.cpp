#include "tools/gang/done_index.h"

#include <filesystem>
#include <fstream>

namespace
{

template <typename Json> void note(done_index &index, const Json &r)
{
    if (!r.is_object() || r.value("result", "") != "ok" || !r.contains("serial") ||
        !r["serial"].is_string() || !r.contains("image") || !r["image"].is_object())
        return;
    const std::string serial = r["serial"];
    const std::string sha = r["image"].value("sha256", "");
    if (serial.empty() || sha.empty())
        return;
    index.done[{serial, sha}] = {r.value("run", ""), r.value("end", ""), r.value("usb_path", ""),
                                 r.value("station", "")};
}

} // namespace

bool load_done_index(const std::string &path, done_index &index, std::string &error)
{
    std::error_code ec;
    if (!std::filesystem::exists(path, ec) && !ec)
        return true; // no record yet: nothing is done
    std::ifstream in(path);
    if (!in) {
        error = "cannot read the record " + path;
        return false;
    }
    for (std::string line; std::getline(in, line);) {
        const nlohmann::json r = nlohmann::json::parse(line, nullptr, false);
        if (r.is_discarded()) {
            ++index.unreadable_lines;
            continue;
        }
        note(index, r);
    }
    return true;
}

void note_record(done_index &index, const nlohmann::ordered_json &record)
{
    note(index, record);
}

const done_record *find_done(const done_index &index, const std::string &serial,
                             const std::string &sha256)
{
    if (serial.empty() || sha256.empty())
        return nullptr;
    const auto found = index.done.find({serial, sha256});
    return found == index.done.end() ? nullptr : &found->second;
}

// Stand-ins for the record branch's rules: the latest line, shared and empty
// serials, and following the file are theirs.
skip_answer decide_skip(done_index &index, const std::string &serial, const std::string &sha256,
                        const std::string &, bool serial_shared)
{
    skip_answer answer;
    answer.lookup = "record";
    const done_record *done = serial_shared ? nullptr : find_done(index, serial, sha256);
    if (done != nullptr) {
        answer.skip = true;
        answer.done = *done;
    }
    return answer;
}

void follow_record(done_index &) {}

void note_line(done_index &index, const nlohmann::ordered_json &line)
{
    note_record(index, line);
}
