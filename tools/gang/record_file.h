// The record files, whole lines only: the run directory's own record.jsonl
// and the --record file, which several gangs may share. A line goes to each
// file in one write, then the file is synced; a line that cannot be written
// leaves nothing of itself behind and waits, in order, to be written again.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

// Why `path` cannot hold a record, or empty when it can (a regular file, or
// a name where one can be made). A record is appended to, synced and read
// back: /dev/null, a terminal, a pipe, a FIFO, a socket or a directory is no
// record, and a FIFO would even stop the run until someone reads it.
std::string record_path_refusal(const std::string &path);

// A writer for one or more record files. Lines that could not be written
// stay pending in order, each for the files that still lack it; flush()
// retries them. healthy() is false while any line is pending; error() then
// names the file and the reason.
class record_writer
{
  public:
    record_writer() = default;
    ~record_writer();
    record_writer(const record_writer &) = delete;
    record_writer &operator=(const record_writer &) = delete;

    // Opens `path` for appending, creating it (0644) when missing. Refuses
    // anything but a regular file; ends a cut last line (a crash or a full
    // disk left it without its newline) so that the next line starts on a
    // line of its own; syncs the directory when it creates the file.
    bool open(const std::string &path, std::string &error);

    // Appends `line` (one line, ending in "\n") to every file: one write,
    // then a sync, per file. A short write is truncated back to the line's
    // start. False: the line is pending, see error().
    bool write(const std::string &line);

    // Retries the pending lines (and syncs not done); true when none is left.
    bool flush();

    bool healthy() const;
    const std::string &error() const
    {
        return error_;
    }
    // Lines some file still lacks.
    std::size_t pending() const;

    struct unwritten_lines {
        std::string path;
        std::vector<std::string> lines;
    };
    // What each file still lacks, for the last word of a run that ends so.
    std::vector<unwritten_lines> unwritten() const;

  private:
    struct file {
        std::string path;
        int fd = -1;
        std::deque<std::string> pending;
        bool unsynced = false; // its last line is written, the sync failed
    };
    bool drain(file &f);

    std::vector<file> files_;
    std::string error_;
};
