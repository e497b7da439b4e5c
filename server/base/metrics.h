// What tovix-server counts, for Prometheus: one process-wide registry of
// counters, gauges and fixed-bucket histograms, every one a relaxed atomic,
// so that counting on a request's path takes no lock and a scrape never
// holds anything up. The ops room renders it for Prometheus.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace tovix::server {

// Cumulative buckets with fixed upper bounds, and the sum of what was seen.
template <std::size_t N> class Histogram {
  public:
    explicit constexpr Histogram(const std::array<double, N>& bounds) : bounds_(bounds) {}

    void observe(double value) {
        std::size_t i = 0;
        while (i < N && value > bounds_[i])
            ++i;
        counts_[i].fetch_add(1, std::memory_order_relaxed);
        // The sum in millionths: an atomic integer, no compare-and-swap loop.
        sum_micros_.fetch_add(static_cast<std::uint64_t>(value * 1e6 + 0.5),
                              std::memory_order_relaxed);
    }
    const std::array<double, N>& bounds() const { return bounds_; }
    // Observations in bucket i (not cumulative); i == N: above every bound.
    std::uint64_t count(std::size_t i) const { return counts_[i].load(std::memory_order_relaxed); }
    double sum() const { return static_cast<double>(sum_micros_.load()) / 1e6; }

  private:
    std::array<double, N> bounds_;
    std::array<std::atomic<std::uint64_t>, N + 1> counts_{};
    std::atomic<std::uint64_t> sum_micros_{0};
};

using Counter = std::atomic<std::uint64_t>;
using Gauge = std::atomic<std::int64_t>;

class Metrics {
  public:
    // Routes of the public listener, as the route table labels them.
    enum Route { kUpdateRoute, kCheckipRoute, kAcmeRoute, kPageRoute, kOtherRoute, kRoutes };
    static constexpr std::array<const char*, kRoutes> kRouteNames{"update", "checkip", "acme",
                                                                  "page", "other"};
    // The statuses the server and its HTTP layer answer; anything else
    // is counted as "other".
    static constexpr std::array<int, 14> kStatuses{200, 303, 400, 401, 404, 405, 411,
                                                   413, 414, 429, 431, 500, 503, 0};
    // What the web page's visitors do: sign-ins by outcome, and the forms
    // that change something.
    enum SignIn { kSignInGood, kSignInWrong, kSignInThrottled, kSignIns };
    static constexpr std::array<const char*, kSignIns> kSignInNames{"good", "wrong", "throttled"};
    enum PageAction {
        kTokenMade,
        kTokenRevoked,
        kHostOffline,
        kHostSettings,
        kPasswordChanged,
        kAccountAdded,
        kAccountHosts,
        kAccountRemoved,
        kSignOut,
        kPageActions
    };
    static constexpr std::array<const char*, kPageActions> kPageActionNames{
        "token_made",    "token_revoked", "host_offline",    "host_settings", "password_changed",
        "account_added", "account_hosts", "account_removed", "sign_out"};
    void sign_in(SignIn outcome) { sign_ins_[outcome].fetch_add(1, std::memory_order_relaxed); }
    void page_action(PageAction what) {
        page_actions_[what].fetch_add(1, std::memory_order_relaxed);
    }
    std::uint64_t sign_ins_of(SignIn outcome) const { return load(sign_ins_[outcome]); }
    std::uint64_t page_actions_of(PageAction what) const { return load(page_actions_[what]); }
    // The first word of each line of an update's answer.
    static constexpr std::array<const char*, 13> kResults{
        "good",   "nochg",  "badauth", "nohost", "notfqdn", "numhost", "badagent",
        "badsys", "!yours", "abuse",   "911",    "dnserr",  "other"};
    enum Throttle { kBySource, kByAccount, kChecksFull, kThrottles };
    enum Refusal { kTooLarge, kMalformed, kTooSlow, kTooManyConnections, kPerSource, kRefusals };

    // A request the handler answered (an update or not), that came in at
    // `received`: its route and status, the result word of each line of an
    // update's answer, and an update's latency.
    void answered(Route route, std::chrono::steady_clock::time_point received, int status,
                  std::string_view body);
    // Requests the handler answered, by route and status.
    void request(Route route, int status);
    // Each line of an update's answer: its first word.
    void update_answer(std::string_view body);
    void throttled(Throttle why) { throttled_[why].fetch_add(1, std::memory_order_relaxed); }
    void refused(Refusal why) { refused_[why].fetch_add(1, std::memory_order_relaxed); }
    // A committed transaction: its updates and how long it took, sync included.
    void committed(std::size_t updates, std::chrono::steady_clock::duration took);
    void commit_failed() { commit_failures.fetch_add(1, std::memory_order_relaxed); }

    Counter password_checks{0};     // Argon2id verifications run
    Counter password_cache_hits{0}; // credentials known from an earlier check
    Counter updates_durable{0};     // host updates in committed transactions
    Counter commit_failures{0};     // transactions rolled back on a database error
    Counter purge_commands{0};      // purge commands sent to a PowerDNS
    Counter purge_failures{0};      // of them, failed
    Counter purge_unconfirmed{0};   // changes answered before PowerDNS purged them
    Counter activity_dropped{0};    // last-seen and fault counts dropped: too many hosts at once
    Gauge connections{0};           // open on the public listeners
    Gauge suspended{0};             // requests waiting for their answer
    Gauge queued_checks{0};         // password checks waiting for a worker
    Gauge committer_queue{0};       // updates waiting for the committer
    Gauge committer_queue_limit{0}; // the most it takes
    Gauge activity_pending{0};      // hosts whose last-seen time or faults wait to be written
    Gauge hosts{0}, accounts{0}, zones{0};
    Gauge last_commit_unix{0};            // seconds; 0: none yet
    Gauge start_unix{0};                  // when the process started serving, seconds
    std::string database_kind = "sqlite"; // set once, before serving

    Histogram<11> batch_sizes{{1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024}};
    Histogram<12> commit_seconds{
        {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5}};
    Histogram<13> update_seconds{
        {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10}};

    // What the labelled counters hold: requests by route and status (i
    // into kStatuses, or its size for any other status), update answers by
    // kResults, throttles and refusals by reason.
    std::uint64_t requests_of(Route route, std::size_t i) const {
        return load(requests_[route][i]);
    }
    std::uint64_t results_of(std::size_t i) const { return load(results_[i]); }
    std::uint64_t throttled_of(Throttle why) const { return load(throttled_[why]); }
    std::uint64_t refused_of(Refusal why) const { return load(refused_[why]); }

  private:
    static std::uint64_t load(const Counter& c) { return c.load(std::memory_order_relaxed); }
    std::array<std::array<Counter, kStatuses.size() + 1>, kRoutes> requests_{};
    std::array<Counter, kResults.size()> results_{};
    std::array<Counter, kThrottles> throttled_{};
    std::array<Counter, kRefusals> refused_{};
    std::array<Counter, kSignIns> sign_ins_{};
    std::array<Counter, kPageActions> page_actions_{};
};

// The process's registry.
Metrics& metrics();

} // namespace tovix::server
