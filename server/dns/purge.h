// Purging PowerDNS's caches of the names a commit changed, so that DNS
// answers a change at once although PowerDNS caches its answers (the
// packet and query caches of server/dns/pdns.conf). Each PowerDNS instance
// is reached through its control socket (pdns.controlsocket in its
// --socket-dir), with the command `pdns_control purge NAME...` sends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tovix::server {

// Whether `name` may be sent as an argument of purge: labels of
// [a-z0-9*-], 1 to 63 characters each, 253 at most in all, and an optional
// final '$' (the name and every name under it). PowerDNS leaves the
// connection of a command naming anything else unanswered.
bool purgeable(const std::string& name);

// The command line for `names`, as pdns_control sends it.
std::string purge_command(const std::vector<std::string>& names);

// How DnsPurger talks to PowerDNS, and how long it keeps trying.
struct PurgePolicy {
    std::chrono::milliseconds timeout{2000}; // of each connect, send and receive
    std::chrono::milliseconds first_retry{200};
    std::chrono::milliseconds last_retry{5000}; // the pause doubles up to this
    std::chrono::milliseconds give_up{60000};
    std::size_t max_names = 10000;       // queued per socket; more are given up
    std::size_t names_per_command = 100; // a longer batch takes several commands
};

// One thread sends the names queued for each socket, every name at most
// once per connection, however often it was queued meanwhile; purge() only
// queues, so an update's answer never waits for PowerDNS.
//
// A socket that fails (PowerDNS down or restarting, a wrong path) is logged
// once for the whole failure streak and once when it works again; its names
// are kept and tried again with growing pauses. A name is given up after
// PurgePolicy::give_up: by then the answers PowerDNS cached before the
// change have expired by themselves (cache-ttl is shorter than that), and a
// PowerDNS that was down starts with empty caches anyway.
class DnsPurger {
  public:
    using Log = std::function<void(const std::string& line)>;

    // Does nothing, and runs no thread, without sockets.
    DnsPurger(std::vector<std::string> sockets, Log log, PurgePolicy policy = {});
    ~DnsPurger(); // one last try of what is queued (unless failing), then stops
    DnsPurger(const DnsPurger&) = delete;
    DnsPurger& operator=(const DnsPurger&) = delete;

    // Queues `names` (purge arguments: "host$", "zone") for every socket; a
    // name purgeable() refuses is logged and dropped.
    void purge(const std::vector<std::string>& names);

  private:
    using Clock = std::chrono::steady_clock;
    struct Target {
        std::string path;
        std::map<std::string, Clock::time_point> queued; // name -> first queued
        Clock::time_point next_try{};
        std::chrono::milliseconds pause{0}; // zero: not failing
        std::size_t given_up = 0;           // names dropped during this streak
    };
    void run();
    bool due(const Target& t, Clock::time_point now) const;
    void send(Target& target, std::unique_lock<std::mutex>& lock);
    void failed(Target& target, std::map<std::string, Clock::time_point> names,
                const std::string& why);
    void give_up(Target& target, Clock::time_point now);

    const Log log_;
    const PurgePolicy policy_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Target> targets_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace tovix::server
