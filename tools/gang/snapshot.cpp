#include "tools/gang/snapshot.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace
{

struct digest_deleter {
    void operator()(EVP_MD_CTX *ctx) const
    {
        EVP_MD_CTX_free(ctx);
    }
};

// A file descriptor closed when it goes.
struct descriptor {
    int fd;
    explicit descriptor(int f) : fd(f) {}
    ~descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
    descriptor(const descriptor &) = delete;
    descriptor &operator=(const descriptor &) = delete;
};

bool write_all(int fd, const unsigned char *bytes, std::size_t count)
{
    while (count > 0) {
        const ssize_t n = write(fd, bytes, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string hex(const unsigned char *bytes, unsigned count)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < count; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

// Copies from `in` to `out` while hashing. Returns 0, or the errno of the
// read or write that failed (EFBIG past the limit).
int copy_hashed(int in, int out, EVP_MD_CTX *ctx, long long &size, bool (*stopped)())
{
    unsigned char buffer[65536];
    for (;;) {
        const ssize_t n = read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR && !stopped())
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return 0;
        size += n;
        if (size > snapshot_limit)
            return EFBIG;
        if (EVP_DigestUpdate(ctx, buffer, static_cast<std::size_t>(n)) != 1)
            return EIO;
        if (!write_all(out, buffer, static_cast<std::size_t>(n)))
            return errno != 0 ? errno : EIO;
    }
}

} // namespace

bool take_snapshot(const std::string &input, const std::string &path, snapshot &snap,
                   std::string &error, bool (*stopped)())
{
    int opened;
    // Opening a FIFO waits for its writer.
    do {
        opened = open(input.c_str(), O_RDONLY | O_CLOEXEC);
    } while (opened < 0 && errno == EINTR && !stopped());
    const descriptor in(opened);
    if (in.fd < 0) {
        error = "cannot read " + input + ": " + std::strerror(errno);
        return false;
    }
    const descriptor out(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444));
    const std::unique_ptr<EVP_MD_CTX, digest_deleter> ctx(EVP_MD_CTX_new());
    if (out.fd < 0 || ctx == nullptr || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        error = "cannot make the snapshot " + path + ": " + std::strerror(errno);
        return false;
    }
    snap = {path, 0, {}};
    int failed = copy_hashed(in.fd, out.fd, ctx.get(), snap.size, stopped);
    if (failed == 0 && fsync(out.fd) != 0)
        failed = errno;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned digest_size = 0;
    if (failed == 0 && EVP_DigestFinal_ex(ctx.get(), digest, &digest_size) != 1)
        failed = EIO;
    if (failed != 0) {
        unlink(path.c_str());
        error = failed == EFBIG ? input + " is over " + std::to_string(snapshot_limit >> 20) +
                                      " MiB: no image is that large"
                                : "cannot read " + input + ": " + std::strerror(failed);
        return false;
    }
    snap.sha256 = hex(digest, digest_size);
    return true;
}
