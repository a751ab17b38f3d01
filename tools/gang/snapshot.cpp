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

// A file descriptor closed when it goes (standard input stays open).
struct descriptor {
    int fd;
    explicit descriptor(int f) : fd(f) {}
    ~descriptor()
    {
        if (fd > STDIN_FILENO)
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

// What stopped a copy: the errno, and on which side (EFBIG past the limit).
struct copy_failure {
    int err = 0;
    bool writing = false;
};

// Copies from `in` to `out` while hashing.
copy_failure copy_hashed(int in, int out, EVP_MD_CTX *ctx, long long &size, bool (*stopped)())
{
    unsigned char buffer[65536];
    for (;;) {
        const ssize_t n = read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR && !stopped())
            continue;
        if (n < 0)
            return {errno, false};
        if (n == 0)
            return {};
        size += n;
        if (size > snapshot_limit)
            return {EFBIG, false};
        if (EVP_DigestUpdate(ctx, buffer, static_cast<std::size_t>(n)) != 1)
            return {EIO, false};
        if (!write_all(out, buffer, static_cast<std::size_t>(n)))
            return {errno != 0 ? errno : EIO, true};
    }
}

// "-" is standard input, which is not opened but taken as it is.
int open_input(const std::string &input, bool (*stopped)())
{
    if (input == "-")
        return STDIN_FILENO;
    int opened;
    // Opening a FIFO waits for its writer.
    do {
        opened = open(input.c_str(), O_RDONLY | O_CLOEXEC);
    } while (opened < 0 && errno == EINTR && !stopped());
    return opened;
}

std::string failure_text(const copy_failure &failed, const std::string &input,
                         const std::string &path)
{
    if (failed.writing)
        return "cannot write the snapshot " + path + ": " + std::strerror(failed.err);
    if (failed.err == EFBIG)
        return input_name(input) + " is over " + std::to_string(snapshot_limit >> 20) +
               " MiB: no image is that large";
    return "cannot read " + input_name(input) + ": " + std::strerror(failed.err);
}

} // namespace

std::string input_name(const std::string &input)
{
    return input == "-" ? "standard input" : input;
}

bool take_snapshot(const std::string &input, const std::string &path, snapshot &snap,
                   std::string &error, bool (*stopped)())
{
    if (input == "-" && isatty(STDIN_FILENO)) {
        error = "standard input is a terminal: pipe the input in, or name its file";
        return false;
    }
    const descriptor in(open_input(input, stopped));
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
    copy_failure failed = copy_hashed(in.fd, out.fd, ctx.get(), snap.size, stopped);
    if (failed.err == 0 && fsync(out.fd) != 0)
        failed = {errno, true};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned digest_size = 0;
    if (failed.err == 0 && EVP_DigestFinal_ex(ctx.get(), digest, &digest_size) != 1)
        failed = {EIO, false};
    if (failed.err != 0) {
        unlink(path.c_str());
        error = failure_text(failed, input, path);
        return false;
    }
    snap.sha256 = hex(digest, digest_size);
    return true;
}

std::string sha256_refusal(const snapshot &snap, const std::string &input,
                           const std::string &expected)
{
    if (expected.empty() || snap.sha256 == expected)
        return "";
    return "the SHA-256 of " + input_name(input) + " (" + std::to_string(snap.size) +
           " bytes) is " + snap.sha256 + ", not " + expected +
           " as --sha256 asks: a different or incomplete input; no device was touched";
}
