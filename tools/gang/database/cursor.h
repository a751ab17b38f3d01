// The cursor: how far into the record the database has acknowledged lines,
// as a byte offset, kept in RECORD.cursor beside the record.
//
// The file holds two slots of 64 bytes, each "OFFSET SEQUENCE CHECK\n"
// (decimal, decimal, the first 16 hex digits of the SHA-256 of the first
// two). A write goes to the slot after the last one written, in place, and
// is synced before the lines it acknowledges count as shipped; a read takes
// the valid slot with the higher sequence. So a crash in the middle of a
// write leaves the other slot whole, and the cursor can only fall back to
// the acknowledgement before, never run ahead of one: the lines in between
// are sent again and the database's unique key stores them once. The file
// is rewritten in place rather than replaced by a rename because its lock
// (flock) belongs to its inode: gangs sharing a record take it from reading
// the cursor to writing the next one, so one never undoes another's step.
#pragma once

#include <cstdint>
#include <string>

namespace recorddb
{

class cursor_file
{
  public:
    explicit cursor_file(std::string path);
    ~cursor_file();
    cursor_file(const cursor_file &) = delete;
    cursor_file &operator=(const cursor_file &) = delete;

    // Opens the file, made (0644) when missing. False, with the reason, when
    // it cannot be.
    bool open(std::string &error);

    // Takes the lock if no other process holds it; never waits.
    bool try_lock();
    void unlock();
    bool locked() const
    {
        return locked_;
    }

    // The offset acknowledged so far; 0 when nothing valid is stored.
    std::uint64_t read();

    // Stores `offset` and syncs it. Only under the lock. False, with the
    // reason, when it could not be stored.
    bool write(std::uint64_t offset, std::string &error);

    const std::string &path() const
    {
        return path_;
    }

  private:
    std::string path_;
    int fd_ = -1;
    bool locked_ = false;
    std::uint64_t sequence_ = 0; // of the slot read or written last
};

// The text of a slot (64 bytes, ending in a newline), and its reading:
// false when the slot is not one (torn, empty, altered).
std::string cursor_slot(std::uint64_t offset, std::uint64_t sequence);
bool parse_cursor_slot(const std::string &slot, std::uint64_t &offset, std::uint64_t &sequence);

} // namespace recorddb
