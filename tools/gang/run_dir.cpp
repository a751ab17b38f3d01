#include "tools/gang/run_dir.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sys/stat.h>

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
                  std::string &error)
{
    std::error_code ec;
    std::filesystem::create_directories(logs, ec);
    if (ec) {
        error = "cannot make " + logs + ": " + ec.message();
        return false;
    }
    const std::filesystem::path path = std::filesystem::absolute(logs, ec) / id;
    // mkdir fails when the directory exists: a run never shares one.
    if (ec || mkdir(path.c_str(), 0755) != 0) {
        error = "cannot make " + path.string() + ": " + std::strerror(ec ? ec.value() : errno);
        return false;
    }
    dir = path.lexically_normal().string();
    return true;
}
