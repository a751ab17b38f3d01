// The record file as the outbox: the whole lines (ending in "\n") after the
// cursor are what waits for the database. The gang appends and syncs a line
// before anything ships it; this reads the file apart from the gang, by its
// own descriptor, and never writes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace recorddb
{

// Lines read for one insert, in the file's order.
struct batch {
    std::string json_array;           // "[line,line,...]": the lines that look like objects
    std::size_t lines = 0;            // how many of them
    std::size_t not_json = 0;         // lines passed over: no object at all (a cut line, say)
    std::uint64_t first_not_json = 0; // the byte offset of the first of those
    std::uint64_t end = 0;            // the offset after the batch's last line
};

class outbox
{
  public:
    explicit outbox(std::string record_path);
    ~outbox();
    outbox(const outbox &) = delete;
    outbox &operator=(const outbox &) = delete;

    // Takes the whole lines appended since the last look (the file opened
    // again when it was replaced). Cheap when nothing was appended.
    void scan();

    // The cursor as stored: lines before it have been acknowledged. An
    // offset that cannot be one (past the end, or not at a line's start:
    // the record was replaced) counts as 0, and every line is sent again.
    void set_cursor(std::uint64_t offset);
    std::uint64_t cursor() const
    {
        return cursor_;
    }

    // Whole lines after the cursor.
    std::size_t waiting() const
    {
        return ends_.size();
    }

    // At most `max_lines` lines and about `max_bytes` after the cursor (one
    // line at least, however long).
    batch next(std::size_t max_lines, std::size_t max_bytes);

    // The lines up to `end` are acknowledged (the caller stored the cursor).
    void acknowledge(std::uint64_t end);

  private:
    bool reopen_if_replaced();
    bool starts_line(std::uint64_t offset);

    std::string path_;
    int fd_ = -1;
    std::uint64_t cursor_ = 0;
    std::uint64_t scanned_ = 0;      // whole lines are known up to here
    std::deque<std::uint64_t> ends_; // the end offset of each line after the cursor
};

} // namespace recorddb
