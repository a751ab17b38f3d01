#include "tools/gang/database/cursor.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

namespace recorddb
{

namespace
{

constexpr std::size_t slot_size = 64;

std::string check_of(std::uint64_t offset, std::uint64_t sequence)
{
    char text[48];
    std::snprintf(text, sizeof text, "%020" PRIu64 " %020" PRIu64, offset, sequence);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    EVP_Digest(text, std::strlen(text), digest, &size, EVP_sha256(), nullptr);
    std::string hex;
    for (unsigned i = 0; i < 8 && i < size; ++i) {
        char piece[3];
        std::snprintf(piece, sizeof piece, "%02x", digest[i]);
        hex += piece;
    }
    return hex;
}

std::string parent_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

std::string cursor_slot(std::uint64_t offset, std::uint64_t sequence)
{
    char text[slot_size + 1];
    std::snprintf(text, sizeof text, "%020" PRIu64 " %020" PRIu64 " %s", offset, sequence,
                  check_of(offset, sequence).c_str());
    std::string slot = text;
    slot.resize(slot_size - 1, ' ');
    return slot + "\n";
}

bool parse_cursor_slot(const std::string &slot, std::uint64_t &offset, std::uint64_t &sequence)
{
    std::uint64_t o = 0, s = 0;
    char check[17] = {};
    if (slot.size() != slot_size ||
        std::sscanf(slot.c_str(), "%20" SCNu64 " %20" SCNu64 " %16s", &o, &s, check) != 3)
        return false;
    if (slot != cursor_slot(o, s))
        return false;
    offset = o;
    sequence = s;
    return true;
}

cursor_file::cursor_file(std::string path) : path_(std::move(path)) {}

cursor_file::~cursor_file()
{
    if (fd_ >= 0)
        ::close(fd_); // the lock goes with it
}

bool cursor_file::open(std::string &error)
{
    if (fd_ >= 0)
        return true;
    const bool existed = access(path_.c_str(), F_OK) == 0;
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error = "cannot open the cursor " + path_ + ": " + std::strerror(errno);
        return false;
    }
    if (!existed) {
        // A cursor lost with its directory entry only means lines sent again.
        const int dir = ::open(parent_of(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            fsync(dir);
            ::close(dir);
        }
    }
    return true;
}

bool cursor_file::try_lock()
{
    if (locked_)
        return true;
    int done;
    do {
        done = flock(fd_, LOCK_EX | LOCK_NB);
    } while (done < 0 && errno == EINTR);
    locked_ = done == 0;
    return locked_;
}

void cursor_file::unlock()
{
    if (locked_)
        flock(fd_, LOCK_UN);
    locked_ = false;
}

std::uint64_t cursor_file::read()
{
    char bytes[2 * slot_size];
    const ssize_t n = fd_ >= 0 ? pread(fd_, bytes, sizeof bytes, 0) : -1;
    std::uint64_t best = 0, best_sequence = 0;
    bool any = false;
    for (std::size_t slot = 0; n > 0 && (slot + 1) * slot_size <= static_cast<std::size_t>(n);
         ++slot) {
        std::uint64_t offset = 0, sequence = 0;
        if (!parse_cursor_slot(std::string(bytes + slot * slot_size, slot_size), offset, sequence))
            continue;
        if (!any || sequence > best_sequence) {
            best = offset;
            best_sequence = sequence;
            any = true;
        }
    }
    sequence_ = best_sequence;
    return best;
}

bool cursor_file::write(std::uint64_t offset, std::string &error)
{
    const std::uint64_t sequence = sequence_ + 1;
    const std::string slot = cursor_slot(offset, sequence);
    const off_t at = static_cast<off_t>((sequence % 2) * slot_size);
    ssize_t n;
    do {
        n = pwrite(fd_, slot.data(), slot.size(), at);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(slot.size()) || fdatasync(fd_) != 0) {
        error = "cannot write the cursor " + path_ + ": " +
                (n < 0 || n == static_cast<ssize_t>(slot.size()) ? std::strerror(errno)
                                                                 : "a short write");
        return false;
    }
    sequence_ = sequence;
    return true;
}

} // namespace recorddb
