#include "activity.h"

#include <utility>

namespace tovix::server {

ActivityLog::ActivityLog(Store& store, std::chrono::milliseconds interval,
                         std::function<void()> tick, std::function<void(const std::string&)> log)
    : store_(store), interval_(interval), tick_(std::move(tick)), log_(std::move(log)) {
    writer_ = std::thread([this] { run(); });
}

ActivityLog::~ActivityLog() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stop_changed_.notify_all();
    writer_.join();
    flush();
}

void ActivityLog::seen(const std::string& host, std::int64_t now, const std::string& caller,
                       const std::string& user_agent, std::int64_t token) {
    std::lock_guard<std::mutex> lock(mutex_);
    Activity& a = pending_[host];
    if (now >= a.seen_at) {
        a.seen_at = now;
        a.seen_caller = caller;
        a.seen_agent = user_agent;
    }
    if (token)
        a.token_uses[token] = now;
}

void ActivityLog::fault(const std::string& host, Fault kind, std::int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    Activity& a = pending_[host];
    ++(kind == Fault::Badauth ? a.badauth : kind == Fault::Throttled ? a.throttled : a.malformed);
    a.fault_at = std::max(a.fault_at, now);
}

void ActivityLog::flush() {
    std::lock_guard<std::mutex> in_order(flush_mutex_);
    std::map<std::string, Activity> batch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        batch.swap(pending_);
    }
    try {
        store_.record_activity(batch);
    } catch (const StoreError& e) {
        // Kept for the next write, under what came in meanwhile.
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [host, old] : batch) {
            Activity& a = pending_[host];
            if (old.seen_at > a.seen_at) {
                a.seen_at = old.seen_at;
                a.seen_caller = std::move(old.seen_caller);
                a.seen_agent = std::move(old.seen_agent);
            }
            a.badauth += old.badauth;
            a.throttled += old.throttled;
            a.malformed += old.malformed;
            a.fault_at = std::max(a.fault_at, old.fault_at);
            for (const auto& [id, at] : old.token_uses)
                a.token_uses[id] = std::max(a.token_uses[id], at);
        }
        log_(std::string("tovix-server: writing the hosts' activity: ") + e.what());
    }
}

void ActivityLog::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_changed_.wait_for(lock, interval_, [this] { return stopping_; })) {
        lock.unlock();
        flush();
        if (tick_) {
            try {
                tick_();
            } catch (const StoreError& e) {
                log_(std::string("tovix-server: ") + e.what());
            }
        }
        lock.lock();
    }
}

} // namespace tovix::server
