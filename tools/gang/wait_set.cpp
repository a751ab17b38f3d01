#include "tools/gang/wait_set.h"

#include <algorithm>

std::size_t wait_set::watch(int fd, short events)
{
    fds_.push_back({fd, events, 0});
    return fds_.size() - 1;
}

void wait_set::wake_by(steady_time when)
{
    deadline_ = has_deadline_ ? std::min(deadline_, when) : when;
    has_deadline_ = true;
}

void wait_set::wake_now()
{
    now_ = true;
}

void wait_set::wait()
{
    int timeout = -1;
    if (now_) {
        timeout = 0;
    } else if (has_deadline_) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline_ - std::chrono::steady_clock::now());
        timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, 60000));
    }
    // EINTR (a signal) just ends the round early; the signal's byte is read
    // from its pipe in the next one.
    if (poll(fds_.data(), fds_.size(), timeout) < 0) {
        for (pollfd &p : fds_)
            p.revents = 0;
    }
}

short wait_set::revents(std::size_t slot) const
{
    if (slot >= fds_.size())
        return 0;
    return fds_[slot].revents;
}

const pollfd *wait_set::polled(std::size_t slot) const
{
    return slot < fds_.size() ? &fds_[slot] : nullptr;
}
