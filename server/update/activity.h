// What the hosts saw besides their changes: the last accepted request of
// each (a nochg included), the refused ones that named it, and the last use
// of each token. Kept in memory and written to the store in one transaction
// per interval (a minute by default), so an accepted request that changes
// nothing still costs no sync; a crash loses at most that interval of them,
// never a change (changes are written with the change).
#pragma once

#include "store/store.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tovix::server {

class ActivityLog {
  public:
    enum class Fault { Badauth, Throttled, Malformed };

    // `tick` runs on the writer's thread after each write (housekeeping
    // that shares its pace); `log` reports a write that failed. At most
    // `max_hosts` hosts wait to be written: reaching that starts a write
    // at once, and what comes for further hosts meanwhile is dropped (and
    // counted in the metrics).
    ActivityLog(Store& store, std::chrono::milliseconds interval, std::function<void()> tick,
                std::function<void(const std::string&)> log, std::size_t max_hosts = 200000);
    ~ActivityLog(); // writes what is pending
    ActivityLog(const ActivityLog&) = delete;
    ActivityLog& operator=(const ActivityLog&) = delete;

    // `token`: the id of the token the request came with; 0: none.
    void seen(const std::string& host, std::int64_t now, const std::string& caller,
              const std::string& user_agent, std::int64_t token);
    void fault(const std::string& host, Fault kind, std::int64_t now);
    // A refused request that named `hosts`, now. Only hosts an account owns
    // are to be counted (Authenticator::owned): a name anybody may make up
    // would grow the activity without bound.
    void faults(const std::vector<std::string>& hosts, Fault kind);
    // Writes what is pending now.
    void flush();

  private:
    void run();
    Activity* entry(const std::string& host); // under mutex_; null: dropped
    void change(const std::string& host, const std::function<void(Activity&)>& how);

    Store& store_;
    std::chrono::milliseconds interval_;
    std::function<void()> tick_;
    std::function<void(const std::string&)> log_;
    const std::size_t max_hosts_;
    std::mutex mutex_;
    std::map<std::string, Activity> pending_;
    std::mutex flush_mutex_; // one write at a time, in order
    std::condition_variable stop_changed_;
    bool stopping_ = false;
    bool full_ = false; // max_hosts_ reached: write now
    std::thread writer_;
};

} // namespace tovix::server
