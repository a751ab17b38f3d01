#include "tools/gang/run_dir.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The calendar fields of `when` in UTC, and its milliseconds.
std::tm utc_fields(wall_time when, int &millis)
{
    const auto since = when.time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
    millis = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(since - seconds).count());
    const std::time_t t = static_cast<std::time_t>(seconds.count());
    std::tm fields{};
    gmtime_r(&t, &fields);
    return fields;
}

std::string format_utc(wall_time when, const char *date_format, const char *millis_format)
{
    int millis = 0;
    const std::tm fields = utc_fields(when, millis);
    char date[32];
    std::strftime(date, sizeof date, date_format, &fields);
    char text[48];
    std::snprintf(text, sizeof text, millis_format, date, millis);
    return text;
}

} // namespace

std::string rfc3339_utc(wall_time when)
{
    return format_utc(when, "%Y-%m-%dT%H:%M:%S", "%s.%03dZ");
}

std::string run_id(wall_time start, long pid)
{
    return format_utc(start, "%Y%m%dT%H%M%S", "%s.%03dZ") + "-" + std::to_string(pid);
}

bool make_run_dir(const std::string &logs, const std::string &id, std::string &dir,
                  std::vector<std::string> &made, std::string &error)
{
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(logs, ec).lexically_normal();
    // The directories missing on the way, outermost first.
    std::vector<std::string> missing;
    for (std::filesystem::path p = absolute; !p.empty() && !std::filesystem::exists(p, ec);
         p = p.parent_path()) {
        missing.insert(missing.begin(), p.string());
        if (p == p.parent_path())
            break;
    }
    std::filesystem::create_directories(absolute, ec);
    if (ec) {
        error = "cannot make " + logs + ": " + ec.message();
        return false;
    }
    const std::filesystem::path path = absolute / id;
    // mkdir fails when the directory exists: a run never shares one.
    if (mkdir(path.c_str(), 0755) != 0) {
        error = "cannot make " + path.string() + ": " + std::strerror(errno);
        remove_run_dir("", missing);
        return false;
    }
    dir = path.string();
    made = std::move(missing);
    made.push_back(dir);
    return true;
}

void remove_run_dir(const std::string &dir, const std::vector<std::string> &made)
{
    std::error_code ec;
    if (!dir.empty())
        std::filesystem::remove_all(dir, ec);
    // rmdir takes only an empty directory: one another run uses stays.
    for (auto p = made.rbegin(); p != made.rend(); ++p)
        rmdir(p->c_str());
}