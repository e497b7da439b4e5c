// The process's record of the database's latest transaction.
#include "store/health.h"

#include <algorithm>

namespace tovix::server {

void DatabaseHealth::succeeded(Clock::time_point when) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.last_success = std::max(state_.last_success, when);
}

void DatabaseHealth::failed(const std::string& why, Clock::time_point when) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (when < state_.last_failure)
        return;
    state_.last_failure = when;
    state_.failure = why;
}

DatabaseHealth::Snapshot DatabaseHealth::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

DatabaseHealth& database_health() {
    static DatabaseHealth record;
    return record;
}

} // namespace tovix::server
