// The database's health as the process last saw it: the outcome of its
// latest transaction, a commit (the committer) or a probe (the monitor).
#pragma once

#include <chrono>
#include <mutex>
#include <string>

namespace tovix::server {

// The outcome of the database's latest transaction, commit or probe.
class DatabaseHealth {
  public:
    using Clock = std::chrono::steady_clock;
    void succeeded(Clock::time_point when = Clock::now());
    void failed(const std::string& why, Clock::time_point when = Clock::now());

    struct Snapshot {
        Clock::time_point last_success{}; // {}: none yet
        Clock::time_point last_failure{};
        std::string failure; // what the latest failure said
    };
    Snapshot snapshot() const;

  private:
    mutable std::mutex mutex_;
    Snapshot state_;
};

// The process's record, written by the committer and the probe.
DatabaseHealth& database_health();

} // namespace tovix::server
