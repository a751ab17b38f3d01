#include "tools/gang/database/outbox.h"

#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace recorddb
{

namespace
{

// The bytes [from, to) of the file; fewer when it is shorter.
std::string read_range(int fd, std::uint64_t from, std::uint64_t to)
{
    std::string bytes(static_cast<std::size_t>(to - from), '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n =
            pread(fd, bytes.data() + got, bytes.size() - got, static_cast<off_t>(from + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

// A record line is one JSON object. Only its braces are looked at here: the
// database parses every line anyway and refuses one that is not JSON (the
// shipper then passes it over alone), while a whole parse of each line on
// this side was three quarters of the shipper's work. A line cut short (a
// crash mid-write) lacks its closing brace and is passed over here.
bool looks_like_object(std::string_view line)
{
    constexpr std::string_view blank = " \t\r";
    const std::size_t first = line.find_first_not_of(blank);
    const std::size_t last = line.find_last_not_of(blank);
    return first != std::string_view::npos && line[first] == '{' && line[last] == '}';
}

} // namespace

outbox::outbox(std::string record_path) : path_(std::move(record_path)) {}

outbox::~outbox()
{
    if (fd_ >= 0)
        close(fd_);
}

// A record moved away and made anew (rotated, say) is a new file: every line
// in it is read from the start.
bool outbox::reopen_if_replaced()
{
    struct stat named {
    };
    if (stat(path_.c_str(), &named) != 0)
        return fd_ >= 0;
    struct stat held {
    };
    if (fd_ >= 0 && fstat(fd_, &held) == 0 && held.st_ino == named.st_ino &&
        held.st_dev == named.st_dev)
        return true;
    if (fd_ >= 0)
        close(fd_);
    fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    cursor_ = scanned_ = 0;
    ends_.clear();
    return fd_ >= 0;
}

void outbox::scan()
{
    if (!reopen_if_replaced())
        return;
    struct stat st {
    };
    if (fstat(fd_, &st) != 0)
        return;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size < scanned_) { // cut back below what was read: read it again
        cursor_ = scanned_ = 0;
        ends_.clear();
    }
    constexpr std::uint64_t chunk = 1 << 16;
    while (scanned_ < size) {
        const std::string bytes = read_range(fd_, scanned_, std::min(size, scanned_ + chunk));
        if (bytes.empty())
            return;
        const std::size_t last = bytes.rfind('\n');
        if (last == std::string::npos && bytes.size() < chunk)
            return; // a line still being written: taken when it is whole
        for (std::size_t at = bytes.find('\n'); at != std::string::npos && at <= last;
             at = bytes.find('\n', at + 1))
            ends_.push_back(scanned_ + at + 1);
        // A line longer than a chunk: its end is found by a later read.
        if (last == std::string::npos) {
            const std::string rest = read_range(fd_, scanned_ + chunk, size);
            const std::size_t end = rest.find('\n');
            if (end == std::string::npos)
                return;
            scanned_ += chunk + end + 1;
            ends_.push_back(scanned_);
            continue;
        }
        scanned_ += last + 1;
    }
}

bool outbox::starts_line(std::uint64_t offset)
{
    if (offset == 0)
        return true;
    if (offset > scanned_)
        return false;
    const std::string before = read_range(fd_, offset - 1, offset);
    return before == "\n";
}

void outbox::set_cursor(std::uint64_t offset)
{
    if (offset > scanned_)
        scan(); // another gang's lines, acknowledged before this one read them
    if (fd_ < 0 || !starts_line(offset))
        offset = 0;
    if (offset < cursor_) {
        // Behind what this reader knew: count the lines again from there.
        cursor_ = scanned_ = offset;
        ends_.clear();
        scan();
        return;
    }
    cursor_ = offset;
    while (!ends_.empty() && ends_.front() <= offset)
        ends_.pop_front();
}

batch outbox::next(std::size_t max_lines, std::size_t max_bytes)
{
    batch b;
    b.end = cursor_;
    std::size_t count = 0;
    while (count < ends_.size() && count < max_lines &&
           (count == 0 || ends_[count] - cursor_ <= max_bytes))
        ++count;
    if (count == 0)
        return b;
    b.end = ends_[count - 1];
    const std::string bytes = read_range(fd_, cursor_, b.end);
    b.json_array.reserve(bytes.size() + 2);
    b.json_array.push_back('[');
    std::size_t from = 0;
    for (std::size_t i = 0; i < count && from < bytes.size(); ++i) {
        const std::size_t length = static_cast<std::size_t>(ends_[i] - cursor_) - from - 1;
        const std::string_view line(bytes.data() + from, length);
        if (looks_like_object(line)) {
            if (b.lines++ > 0)
                b.json_array.push_back(',');
            b.json_array.append(line.data(), line.size());
        } else if (b.not_json++ == 0) {
            b.first_not_json = cursor_ + from;
        }
        from += length + 1;
    }
    b.json_array.push_back(']');
    return b;
}

void outbox::acknowledge(std::uint64_t end)
{
    set_cursor(end);
}

} // namespace recorddb
