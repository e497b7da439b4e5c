// What the hosts saw besides their changes: the last accepted request of
// each (a nochg included), the refused ones that named it, and the last use
// of each token. Kept in memory and written to the store once an interval
// (a minute by default), in short transactions, so an accepted request that
// changes nothing still costs no sync and no update waits long for the
// write; a crash loses at most that interval of them, never a change
// (changes are written with the change).
//
// Only hosts an account owns are counted: a name anybody may make up would
// grow the activity without bound. A refusal for a host not known to be
// owned (`known_owner`, what the Authenticator has looked up) waits among
// at most `max_unchecked` such, and counts at the next write only if the
// store says an account owns the host.
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
    // counted in the metrics), as are refusals beyond `max_unchecked`.
    ActivityLog(Store& store, std::chrono::milliseconds interval, std::function<void()> tick,
                std::function<void(const std::string&)> log,
                std::function<bool(const std::string&)> known_owner = nullptr,
                std::size_t max_hosts = 200000, std::size_t max_unchecked = 10000);
    ~ActivityLog(); // writes what is pending
    ActivityLog(const ActivityLog&) = delete;
    ActivityLog& operator=(const ActivityLog&) = delete;

    // `token`: the id of the token the request came with; 0: none.
    void seen(const std::string& host, std::int64_t now, const std::string& caller,
              const std::string& user_agent, std::int64_t token);
    // A refusal for a host an account owns.
    void fault(const std::string& host, Fault kind, std::int64_t now);
    // A refused request that named `hosts`, now: counted for those an
    // account owns.
    void faults(const std::vector<std::string>& hosts, Fault kind);
    // Writes what is pending now.
    void flush();

  private:
    void run();
    Activity* entry(const std::string& host); // under mutex_; null: dropped
    void change(const std::string& host, const std::function<void(Activity&)>& how);
    void check_owners(std::map<std::string, Activity>& unchecked);

    Store& store_;
    std::chrono::milliseconds interval_;
    std::function<void()> tick_;
    std::function<void(const std::string&)> log_;
    const std::function<bool(const std::string&)> known_owner_;
    const std::size_t max_hosts_, max_unchecked_;
    std::mutex mutex_;
    std::map<std::string, Activity> pending_;
    std::map<std::string, Activity> unchecked_; // faults of hosts not known to be owned
    std::mutex flush_mutex_;                    // one write at a time, in order
    std::condition_variable stop_changed_;
    bool stopping_ = false;
    bool full_ = false; // max_hosts_ reached: write now
    std::thread writer_;
};

} // namespace tovix::server
