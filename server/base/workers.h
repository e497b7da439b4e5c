// A few threads of the server's own for work that must not run on the HTTP
// threads: password checks (Argon2id takes tens of milliseconds) and the
// answers a guesser is made to wait for.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace tovix::server {

class Workers {
  public:
    Workers(unsigned threads, std::size_t max_queued);
    // Stops the threads first; then runs the jobs still waiting for their
    // time on this thread (late answers go now rather than never).
    ~Workers();
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    // False when the queue is full or the workers are stopping.
    bool run(std::function<void()> job);
    // Runs `job` once `ms` have passed.
    void later(int ms, std::function<void()> job);
    // Runs what is queued, and the timed jobs at once, until nothing is
    // left or running (jobs queued meanwhile included) or `deadline` has
    // come; true when nothing is.
    bool drain(std::chrono::steady_clock::time_point deadline);

  private:
    using Clock = std::chrono::steady_clock;
    void work();
    void time();
    void run_job(std::unique_lock<std::mutex>& lock, const std::function<void()>& job);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> jobs_;
    std::multimap<Clock::time_point, std::function<void()>> timed_;
    std::size_t max_queued_;
    std::size_t running_ = 0;
    std::condition_variable idle_;
    bool draining_ = false; // every timed job is due
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace tovix::server
