#include "tools/probe/count_stream.h"

#include <sys/types.h>

namespace
{

long long read_counted(void *cookie, char *buffer, std::size_t size)
{
    auto *source = static_cast<counted_source *>(cookie);
    const std::size_t got = std::fread(buffer, 1, size, source->from);
    if (got == 0 && std::ferror(source->from) != 0)
        return -1;
    source->count += static_cast<long long>(got);
    return static_cast<long long>(got);
}

} // namespace

#ifdef __APPLE__
std::FILE *open_counting_stream(counted_source &source)
{
    return funopen(
        &source,
        [](void *cookie, char *buffer, int size) {
            return static_cast<int>(read_counted(cookie, buffer, static_cast<std::size_t>(size)));
        },
        nullptr, nullptr, nullptr);
}
#else
std::FILE *open_counting_stream(counted_source &source)
{
    cookie_io_functions_t io{};
    io.read = [](void *cookie, char *buffer, std::size_t size) {
        return static_cast<ssize_t>(read_counted(cookie, buffer, size));
    };
    std::FILE *stream = fopencookie(&source, "rb", io);
    if (stream != nullptr)
        std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}
#endif

bool drain(std::FILE *stream, long long limit)
{
    char buffer[65536];
    long long left = limit;
    while (left > 0) {
        const std::size_t want = left < static_cast<long long>(sizeof buffer)
                                     ? static_cast<std::size_t>(left)
                                     : sizeof buffer;
        const std::size_t got = std::fread(buffer, 1, want, stream);
        if (got == 0)
            return true;
        left -= static_cast<long long>(got);
    }
    return std::fgetc(stream) == EOF;
}
