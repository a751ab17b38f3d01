#include "tools/probe/spool.h"

#include "tools/probe/temp_file.h"

namespace
{

// Reads on through `from`, at most `limit` bytes; returns how many it read.
// `to` receives them when given.
long long pass_through(std::FILE *from, std::FILE *to, long long limit)
{
    char buffer[65536];
    long long done = 0;
    while (done < limit) {
        const long long left = limit - done;
        const std::size_t want = left < static_cast<long long>(sizeof buffer)
                                     ? static_cast<std::size_t>(left)
                                     : sizeof buffer;
        const std::size_t got = std::fread(buffer, 1, want, from);
        if (to != nullptr && std::fwrite(buffer, 1, got, to) != got)
            break;
        done += static_cast<long long>(got);
        if (got < want)
            break;
    }
    return done;
}

} // namespace

bool spool(spooled_source &source, long long limit)
{
    source.copy = open_temporary_file();
    if (source.copy == nullptr)
        return false;
    source.copied = pass_through(source.from, source.copy, limit);
    std::rewind(source.copy);
    // As the front end reads its own input: each read is one read of the file.
    std::setvbuf(source.copy, nullptr, _IONBF, 0);
    return true;
}

source_count count_source(spooled_source &source, long long limit)
{
    source_count count;
    const long long read = std::ftell(source.copy);
    std::fclose(source.copy);
    source.copy = nullptr;
    const long long unread_copy = source.copied - read;
    count.bytes = source.copied;
    // A source that ended inside the copy is not read again: a terminal
    // would wait for more.
    if (std::feof(source.from) != 0)
        return count;
    const long long budget = limit - unread_copy;
    const long long more = pass_through(source.from, nullptr, budget);
    count.bytes += more;
    count.at_least = more == budget && std::fgetc(source.from) != EOF;
    if (count.at_least)
        ++count.bytes;
    return count;
}
