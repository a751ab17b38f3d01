#include "tools/gang/database/connect_start.h"

#include <csignal>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <vector>

namespace recorddb
{

struct connect_start::job {
    std::mutex lock;
    bool done = false;
    bool abandoned = false;
    PGconn *conn = nullptr;
};

connect_start::connect_start(const char *const *keys, const char *const *values)
    : job_(std::make_shared<job>())
{
    std::vector<std::string> k, v;
    for (int i = 0; keys[i] != nullptr; ++i) {
        k.emplace_back(keys[i]);
        v.emplace_back(values[i]);
    }
    // Signals stay with the threads that handle them: the helper starts
    // with all of them blocked.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    std::thread([j = job_, k = std::move(k), v = std::move(v)] {
        std::vector<const char *> keywords, given;
        for (std::size_t i = 0; i < k.size(); ++i) {
            keywords.push_back(k[i].c_str());
            given.push_back(v[i].c_str());
        }
        keywords.push_back(nullptr);
        given.push_back(nullptr);
        PGconn *conn = PQconnectStartParams(keywords.data(), given.data(), 1);
        const std::lock_guard<std::mutex> hold(j->lock);
        if (j->abandoned) {
            PQfinish(conn);
            return;
        }
        j->conn = conn;
        j->done = true;
    }).detach();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

connect_start::~connect_start()
{
    const std::lock_guard<std::mutex> hold(job_->lock);
    if (job_->done)
        PQfinish(job_->conn); // null-safe
    job_->conn = nullptr;
    job_->abandoned = true;
}

bool connect_start::done() const
{
    const std::lock_guard<std::mutex> hold(job_->lock);
    return job_->done;
}

PGconn *connect_start::take()
{
    const std::lock_guard<std::mutex> hold(job_->lock);
    PGconn *conn = job_->conn;
    job_->conn = nullptr;
    return conn;
}

} // namespace recorddb
