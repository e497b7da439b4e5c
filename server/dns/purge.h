// Purging PowerDNS's caches of the names a commit changed, so that DNS
// answers a change at once although PowerDNS caches its answers (the
// packet and query caches of server/dns/pdns.conf). Each PowerDNS instance
// is reached through its control socket (pdns.controlsocket in its
// --socket-dir), with the command `pdns_control purge NAME...` sends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tovix::server {

// Whether `name` may be sent as an argument of purge: labels of
// [a-z0-9*_-] (an underscore for _acme-challenge), 1 to 63 characters
// each, 253 at most in all, and an optional final '$' (the name and every
// name under it). PowerDNS leaves the connection of a command naming
// anything else unanswered.
bool purgeable(const std::string& name);

// The command line for `names`, each exact name given twice: "purge a z a
// z\n". PowerDNS 4.7 (Debian 12's; fixed upstream in 2025, PowerDNS issue
// 16286) empties its packet cache of a name before its query cache, so a
// query arriving in between misses the first, is answered from the second,
// old, and that answer goes back into the packet cache until cache-ttl.
// The second pass removes it; its own gap is harmless, the query cache then
// holding only what the database holds. A "name$" goes once: it costs a
// pass over every shard of both caches, and what the packet cache holds
// under it is built from query-cache entries of exact names ("*.host"),
// purged twice before it.
std::string purge_command(const std::vector<std::string>& names);

// How DnsPurger talks to PowerDNS, and how long it keeps trying.
struct PurgePolicy {
    std::chrono::milliseconds timeout{2000}; // of each connect, send and receive
    std::chrono::milliseconds first_retry{200};
    std::chrono::milliseconds last_retry{5000}; // the pause doubles up to this
    std::chrono::milliseconds give_up{60000};
    std::size_t max_names = 10000;       // queued per socket; more are given up
    std::size_t names_per_command = 100; // a longer batch takes several commands
    std::chrono::milliseconds wait{50};  // the most after_purge() holds its answer
    int under_pause = 4; // after a name with those under it, a pause this many times as long
};

// One thread sends the names queued for each socket, every name at most
// once per connection, however often it was queued meanwhile; purge() only
// queues. after_purge() tells when PowerDNS has answered the purge of what
// was queued before it, so that an answer sent then is what DNS answers
// (a second thread keeps the bound of PurgePolicy::wait meanwhile).
//
// Exact names ("host", "*.host", "zone") cost PowerDNS a lookup each and
// go first, all of them in each command. A name with every name under it
// ("host$") costs PowerDNS a pass over every shard of both caches (about
// a millisecond), and PowerDNS answers one command at a time, so those go
// one per command, while no exact name is queued, with a pause of
// PurgePolicy::under_pause times the command's length after each: an exact
// purge waits behind one at most, PowerDNS spends at most a fifth of its
// control thread on them, and after_purge() never waits for them. The
// store names the exact names that matter at once (a wildcard host gives
// "host" and "*.host" as well as "host$"); what a suffix purge adds is the
// names asked under a wildcard, cached each under its own name, which
// may answer the old address a little longer under a heavy load.
//
// A socket that fails (PowerDNS down or restarting, a wrong path) is logged
// once for the whole failure streak and once when it works again; its names
// are kept and tried again with growing pauses, and after_purge() does not
// wait for it meanwhile. A name is given up after PurgePolicy::give_up: by
// then the answers PowerDNS cached before the change have expired by
// themselves (cache-ttl is shorter than that), and a PowerDNS that was down
// starts with empty caches anyway.
class DnsPurger {
  public:
    using Log = std::function<void(const std::string& line)>;

    // Does nothing, and runs no thread, without sockets.
    DnsPurger(std::vector<std::string> sockets, Log log, PurgePolicy policy = {});
    // One last try of everything queued (unless failing), then stops;
    // whoever still waits in after_purge() is told false.
    ~DnsPurger();
    DnsPurger(const DnsPurger&) = delete;
    DnsPurger& operator=(const DnsPurger&) = delete;

    // Queues `names` (purge arguments: "host", "host$", "zone") for every
    // socket; a name purgeable() refuses is logged and dropped.
    void purge(const std::vector<std::string>& names);

    // `all`: every socket answered a purge of every exact name queued
    // before after_purge() was called; false when one of them is failing,
    // or PurgePolicy::wait passed first.
    using Purged = std::function<void(bool all)>;
    // Calls `then` exactly once: at once, on the caller's thread, when
    // nothing is left to wait for (no socket, nothing queued, or only
    // failing sockets), otherwise on one of the purger's threads.
    void after_purge(Purged then);

  private:
    using Clock = std::chrono::steady_clock;
    using Queue = std::map<std::string, Clock::time_point>; // name -> first queued
    struct Target {
        std::string path;
        Queue exact, under; // "name", and "name$"
        Clock::time_point next_try{};
        Clock::time_point under_next{};     // the next name with those under it
        std::chrono::milliseconds pause{0}; // zero: not failing
        std::size_t given_up = 0;           // names dropped during this streak
        std::uint64_t purged = 0;           // exact names purged: up to this purge() call
    };
    struct Waiter {
        std::uint64_t queued; // the purge() calls before it
        Clock::time_point deadline;
        Purged then;
    };
    void run();
    void watch();
    bool due(const Target& t, Clock::time_point now) const;
    bool send_commands(const std::string& path, Queue& batch, std::string* why) const;
    bool send_exact(Target& target, std::unique_lock<std::mutex>& lock);
    bool send_under(Target& target, bool every_name, std::unique_lock<std::mutex>& lock);
    void working(Target& target);
    bool failed(Target& target, Queue exact, Queue under, const std::string& why,
                std::unique_lock<std::mutex>& lock);
    void give_up(Target& target, Clock::time_point now);
    // Whether `w` still waits for a socket; *all: every socket purged.
    bool waits(const Waiter& w, bool* all) const;
    void settle(std::unique_lock<std::mutex>& lock);

    const Log log_;
    const PurgePolicy policy_;
    std::mutex mutex_;
    std::condition_variable wake_, watch_wake_;
    std::vector<Target> targets_;
    std::uint64_t queued_ = 0;   // purge() calls that queued an exact name
    std::deque<Waiter> waiters_; // in the order of their calls (and deadlines)
    bool stopping_ = false;
    std::thread thread_, watch_;
};

} // namespace tovix::server
