// Workers: a queue of jobs for a few threads, and one more thread for the
// jobs that wait for a time point.
//
// The timer thread waits with a copy of the next time point, never with a
// reference into the map: another thread may take that entry (or the
// destructor the whole map) while it sleeps.
#include "base/workers.h"

#include "base/metrics.h"

namespace tovix::server {

Workers::Workers(unsigned threads, std::size_t max_queued) : max_queued_(max_queued) {
    for (unsigned i = 0; i < threads; ++i)
        threads_.emplace_back([this] { work(); });
    threads_.emplace_back([this] { time(); });
}

Workers::~Workers() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : threads_)
        t.join();
    // No thread is left to race with: the answers still waiting go now.
    for (auto& [due, job] : timed_)
        job();
}

bool Workers::run(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || jobs_.size() >= max_queued_)
            return false;
        jobs_.push_back(std::move(job));
        metrics().queued_checks = static_cast<std::int64_t>(jobs_.size());
    }
    changed_.notify_all();
    return true;
}

void Workers::later(int ms, std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        timed_.emplace(Clock::now() + std::chrono::milliseconds(ms), std::move(job));
    }
    changed_.notify_all();
}

bool Workers::drain(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    draining_ = true;
    changed_.notify_all();
    const bool idle = idle_.wait_until(
        lock, deadline, [this] { return jobs_.empty() && timed_.empty() && running_ == 0; });
    draining_ = false;
    return idle;
}

// Runs queued jobs until stopping; what is queued then still runs.
void Workers::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty())
            return;
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        metrics().queued_checks = static_cast<std::int64_t>(jobs_.size());
        run_job(lock, job);
    }
}

// Runs `job` with the lock released, counted as running meanwhile.
void Workers::run_job(std::unique_lock<std::mutex>& lock, const std::function<void()>& job) {
    ++running_;
    lock.unlock();
    job();
    lock.lock();
    --running_;
    idle_.notify_all();
}

// Runs each timed job once it is due; leaves the rest to the destructor.
void Workers::time() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (timed_.empty()) {
            changed_.wait(lock);
            continue;
        }
        const Clock::time_point due = timed_.begin()->first;
        if (due > Clock::now() && !draining_) {
            changed_.wait_until(lock, due);
            continue;
        }
        std::function<void()> job = std::move(timed_.begin()->second);
        timed_.erase(timed_.begin());
        run_job(lock, job);
    }
}

} // namespace tovix::server
