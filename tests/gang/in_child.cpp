#include "in_child.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <poll.h>
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
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool ended = false;
    while (!ended && std::chrono::steady_clock::now() < until) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        ended = n == 0 || (n < 0 && errno != EINTR);
    }
    close(fds[0]);
    if (!ended)
        kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    return ended ? nlohmann::json::parse(text, nullptr, false)
                 : nlohmann::json(nlohmann::json::value_t::discarded);
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
