// The activity of the hosts, gathered in memory and written by a thread of
// its own once an interval, or sooner when many hosts have some.
#include "update/activity.h"

#include "base/metrics.h"
#include "base/threads.h"

#include <ctime>
#include <utility>

namespace tovix::server {

ActivityLog::ActivityLog(Store& store, std::chrono::milliseconds interval,
                         std::function<void()> tick, std::function<void(const std::string&)> log,
                         std::size_t max_hosts)
    : store_(store), interval_(interval), tick_(std::move(tick)), log_(std::move(log)),
      max_hosts_(max_hosts) {
    writer_ = std::thread([this] { run(); });
}

ActivityLog::~ActivityLog() {
    stop_thread(mutex_, stopping_, stop_changed_, writer_);
    flush();
}

Activity* ActivityLog::entry(const std::string& host) {
    const auto found = pending_.find(host);
    if (found != pending_.end())
        return &found->second;
    if (pending_.size() >= max_hosts_) {
        metrics().activity_dropped.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    Activity* a = &pending_[host];
    metrics().activity_pending = static_cast<std::int64_t>(pending_.size());
    if (pending_.size() == max_hosts_) {
        full_ = true;
        stop_changed_.notify_all();
    }
    return a;
}

void ActivityLog::seen(const std::string& host, std::int64_t now, const std::string& caller,
                       const std::string& user_agent, std::int64_t token) {
    change(host, [&](Activity& a) {
        if (now >= a.seen_at) {
            a.seen_at = now;
            a.seen_caller = caller;
            a.seen_agent = user_agent;
        }
        if (token)
            a.token_uses[token] = now;
    });
}

void ActivityLog::fault(const std::string& host, Fault kind, std::int64_t now) {
    change(host, [&](Activity& a) {
        ++(kind == Fault::Badauth     ? a.badauth
           : kind == Fault::Throttled ? a.throttled
                                      : a.malformed);
        a.fault_at = std::max(a.fault_at, now);
    });
}

void ActivityLog::change(const std::string& host, const std::function<void(Activity&)>& how) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Activity* found = entry(host))
        how(*found);
}

void ActivityLog::faults(const std::vector<std::string>& hosts, Fault kind) {
    const std::int64_t now = std::time(nullptr);
    for (const std::string& host : hosts)
        fault(host, kind, now);
}

void ActivityLog::flush() {
    std::lock_guard<std::mutex> in_order(flush_mutex_);
    std::map<std::string, Activity> batch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        batch.swap(pending_);
        metrics().activity_pending = 0;
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
        metrics().activity_pending = static_cast<std::int64_t>(pending_.size());
        log_(std::string("tovix-server: writing the hosts' activity: ") + e.what());
    }
}

// Writes once an interval, or at once when max_hosts_ hosts are waiting;
// the housekeeping keeps to the interval. What is left at the end the
// destructor writes.
void ActivityLog::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const bool due =
            !stop_changed_.wait_for(lock, interval_, [this] { return stopping_ || full_; });
        if (stopping_)
            return;
        full_ = false;
        lock.unlock();
        flush();
        if (due && tick_) {
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
