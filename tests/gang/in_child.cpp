#include "in_child.h"

#include <csignal>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace support
{

nlohmann::json in_child(const std::function<nlohmann::json()> &body)
{
    int fds[2];
    if (pipe(fds) != 0)
        return nlohmann::json::value_t::discarded;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const std::string out = body().dump();
        const ssize_t n = write(fds[1], out.data(), out.size());
        _exit(n == static_cast<ssize_t>(out.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return nlohmann::json::parse(text, nullptr, false);
}

void limit_file_size(rlim_t bytes)
{
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
}

void lift_file_size_limit()
{
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_FSIZE, &limit);
}

} // namespace support
