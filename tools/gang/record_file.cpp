#include "tools/gang/record_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

std::string reason(int err)
{
    return std::strerror(err);
}

// What a file that is not a regular file is, in words.
struct file_kind {
    mode_t type;
    const char *words;
};
constexpr file_kind file_kinds[] = {
    {S_IFDIR, "a directory"},    {S_IFCHR, "a character device (such as /dev/null or a terminal)"},
    {S_IFBLK, "a block device"}, {S_IFIFO, "a pipe or FIFO"},
    {S_IFSOCK, "a socket"},
};

// The gangs sharing a record take turns at its end: a line and, after a
// short write, its undoing happen while no other gang appends, so taking
// back a cut line never takes another gang's line with it.
class end_lock
{
  public:
    explicit end_lock(int fd) : fd_(fd)
    {
        while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~end_lock()
    {
        flock(fd_, LOCK_UN);
    }
    end_lock(const end_lock &) = delete;
    end_lock &operator=(const end_lock &) = delete;

  private:
    int fd_;
};

ssize_t write_once(int fd, const char *bytes, std::size_t count)
{
    ssize_t n;
    do {
        n = ::write(fd, bytes, count);
    } while (n < 0 && errno == EINTR);
    return n;
}

// A short write does not say why. What the rest of the line meets does
// (ENOSPC, EFBIG, EDQUOT); it is taken back with the rest.
std::string why_short(int fd, const std::string &line, std::size_t written)
{
    const ssize_t more = write_once(fd, line.data() + written, line.size() - written);
    const std::string taken = std::to_string(written) + " of " + std::to_string(line.size()) +
                              " bytes of the line were written";
    return (more < 0 ? reason(errno) : "the write was cut short") + " (" + taken + ")";
}

// Appends `line` in one write. On failure nothing of it stays: the file is
// truncated back to where the line began, and `why` says what went wrong.
bool append_line(int fd, const std::string &line, std::string &why)
{
    const end_lock lock(fd);
    struct stat st {
    };
    if (fstat(fd, &st) != 0) {
        why = reason(errno);
        return false;
    }
    const ssize_t n = write_once(fd, line.data(), line.size());
    if (n == static_cast<ssize_t>(line.size()))
        return true;
    why = n < 0 ? reason(errno) : why_short(fd, line, static_cast<std::size_t>(n));
    if (ftruncate(fd, st.st_size) != 0)
        why += "; the cut line could not be taken back: " + reason(errno);
    return false;
}

// A record whose last line has no newline (a crash or a full disk cut it)
// gets one, so the next line is a line of its own, not the cut one's end.
bool end_cut_line(int fd, std::string &why)
{
    const end_lock lock(fd);
    struct stat st {
    };
    char last = '\n';
    if (fstat(fd, &st) != 0 || (st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) != 1)) {
        why = reason(errno);
        return false;
    }
    if (last == '\n')
        return true;
    if (write_once(fd, "\n", 1) != 1 || fsync(fd) != 0) {
        why = reason(errno);
        return false;
    }
    return true;
}

// A new file's name is durable only once its directory is synced.
bool sync_directory_of(const std::string &path, std::string &why)
{
    std::filesystem::path dir = std::filesystem::path(path).parent_path();
    if (dir.empty())
        dir = ".";
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Some filesystems cannot sync a directory (EINVAL); they need not.
    const bool synced = fd >= 0 && (fsync(fd) == 0 || errno == EINVAL);
    if (!synced)
        why = reason(errno);
    if (fd >= 0)
        close(fd);
    return synced;
}

// Opens the record, creating it when missing. O_NONBLOCK: a FIFO put in
// place since it was checked fails at once instead of waiting for a reader.
int open_for_append(const std::string &path, bool &created)
{
    constexpr int flags = O_RDWR | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0644);
    created = fd >= 0;
    if (fd < 0 && errno == EEXIST)
        fd = ::open(path.c_str(), flags);
    return fd;
}

} // namespace

std::string record_path_refusal(const std::string &path)
{
    struct stat st {
    };
    if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode))
        return ""; // missing, it is made; unreadable, opening it says why
    for (const file_kind &k : file_kinds) {
        if ((st.st_mode & S_IFMT) == k.type)
            return std::string("it is ") + k.words + ", not a regular file";
    }
    return "it is not a regular file";
}

record_writer::~record_writer()
{
    for (const file &f : files_)
        close(f.fd);
}

bool record_writer::open(const std::string &path, std::string &error)
{
    if (const std::string refusal = record_path_refusal(path); !refusal.empty()) {
        error = "cannot use " + path + " as a record: " + refusal;
        return false;
    }
    bool created = false;
    const int fd = open_for_append(path, created);
    if (fd < 0) {
        error = "cannot write the record " + path + ": " + reason(errno);
        return false;
    }
    struct stat st {
    };
    std::string why;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        why = "it is not a regular file";
    else if (fcntl(fd, F_SETFL, O_APPEND) != 0 || (created && !sync_directory_of(path, why)))
        why = why.empty() ? reason(errno) : "cannot sync its directory: " + why;
    else if (!end_cut_line(fd, why))
        why = "cannot end its cut last line: " + why;
    if (!why.empty()) {
        close(fd);
        error = "cannot write the record " + path + ": " + why;
        return false;
    }
    files_.push_back({path, fd, {}, false});
    return true;
}

bool record_writer::drain(file &f)
{
    if (f.unsynced) {
        if (fsync(f.fd) != 0) {
            error_ = "cannot sync the record " + f.path + ": " + reason(errno);
            return false;
        }
        f.unsynced = false;
    }
    while (!f.pending.empty()) {
        std::string why;
        if (!append_line(f.fd, f.pending.front(), why)) {
            error_ = "cannot write the record " + f.path + ": " + why;
            return false;
        }
        f.pending.pop_front();
        // Written, so never written again: a failed sync is retried alone.
        if (fsync(f.fd) != 0) {
            f.unsynced = true;
            error_ = "cannot sync the record " + f.path + ": " + reason(errno);
            return false;
        }
    }
    return true;
}

bool record_writer::write(const std::string &line)
{
    const std::string whole = !line.empty() && line.back() == '\n' ? line : line + "\n";
    for (file &f : files_)
        f.pending.push_back(whole);
    return flush();
}

bool record_writer::flush()
{
    bool all = true;
    for (file &f : files_)
        all = drain(f) && all;
    if (all)
        error_.clear();
    return all;
}

bool record_writer::healthy() const
{
    return pending() == 0 &&
           std::none_of(files_.begin(), files_.end(), [](const file &f) { return f.unsynced; });
}

std::size_t record_writer::pending() const
{
    std::size_t most = 0;
    for (const file &f : files_)
        most = std::max(most, f.pending.size());
    return most;
}

std::vector<record_writer::unwritten_lines> record_writer::unwritten() const
{
    std::vector<unwritten_lines> left;
    for (const file &f : files_) {
        if (!f.pending.empty())
            left.push_back({f.path, {f.pending.begin(), f.pending.end()}});
    }
    return left;
}
