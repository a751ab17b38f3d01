#include "ship_driver.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

ship_driver::ship_driver(const std::vector<std::string> &args)
{
    int to_child[2], from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0)
        return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        std::vector<char *> argv{const_cast<char *>(RECORD_SHIP_BIN)};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    in_ = to_child[1];
    out_ = from_child[0];
    signal(SIGPIPE, SIG_IGN); // a child that ended is seen by wait(), not by a signal here
}

ship_driver::~ship_driver()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        wait();
    }
    if (in_ >= 0)
        close(in_);
    if (out_ >= 0)
        close(out_);
}

void ship_driver::send(const std::string &command)
{
    const std::string line = command + "\n";
    if (in_ >= 0 && write(in_, line.data(), line.size()) < 0)
        ended_ = true;
}

bool ship_driver::await(const std::function<bool(const std::string &)> &wanted,
                        std::chrono::seconds deadline)
{
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        for (std::size_t eol; (eol = partial_.find('\n')) != std::string::npos;) {
            const std::string line = partial_.substr(0, eol);
            partial_.erase(0, eol + 1);
            seen_ += line + "\n";
            if (wanted(line))
                return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (ended_ || out_ < 0 || left.count() <= 0)
            return false;
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = read(out_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ended_ = true;
            continue;
        }
        partial_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string ship_driver::await_prefix(const std::string &prefix, std::chrono::seconds deadline)
{
    std::string found;
    await(
        [&](const std::string &line) {
            if (line.rfind(prefix, 0) != 0)
                return false;
            found = line;
            return true;
        },
        deadline);
    return found;
}

void ship_driver::kill_now()
{
    if (pid_ > 0)
        kill(pid_, SIGKILL);
}

int ship_driver::wait()
{
    if (pid_ <= 0)
        return -1;
    if (in_ >= 0)
        close(in_);
    in_ = -1;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
