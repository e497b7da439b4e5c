// The text exposition format of the metrics registry.
#include "ops/exposition.h"

#include <cstdio>
#include <functional>
#include <initializer_list>

#ifndef TOVIX_VERSION
#define TOVIX_VERSION "unknown"
#endif

namespace tovix::server {

namespace {

class Exposition {
  public:
    void family(const char* name, const char* type, const char* help) {
        text_ +=
            std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    // `labels` without braces, already escaped; empty: none.
    void sample(const std::string& name, const std::string& labels, double value) {
        char number[64];
        std::snprintf(number, sizeof number, "%.9g", value);
        text_ += name + (labels.empty() ? "" : "{" + labels + "}") + " " + number + "\n";
    }
    void sample(const std::string& name, const std::string& labels, std::uint64_t value) {
        text_ +=
            name + (labels.empty() ? "" : "{" + labels + "}") + " " + std::to_string(value) + "\n";
    }
    void sample(const std::string& name, std::int64_t value) {
        text_ += name + " " + std::to_string(value) + "\n";
    }
    void counter(const char* name, const char* help, const Counter& c) {
        family(name, "counter", help);
        sample(name, "", c.load(std::memory_order_relaxed));
    }
    void gauge(const char* name, const char* help, const Gauge& g) {
        family(name, "gauge", help);
        sample(name, g.load(std::memory_order_relaxed));
    }
    template <std::size_t N>
    void histogram(const char* name, const char* help, const Histogram<N>& h) {
        family(name, "histogram", help);
        // Each bucket read once: the cumulative counts and the total agree
        // even while observations come in.
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < N; ++i) {
            total += h.count(i);
            char bound[32];
            std::snprintf(bound, sizeof bound, "%g", h.bounds()[i]);
            sample(std::string(name) + "_bucket", std::string("le=\"") + bound + "\"", total);
        }
        total += h.count(N);
        sample(std::string(name) + "_bucket", "le=\"+Inf\"", total);
        sample(std::string(name) + "_sum", "", h.sum());
        sample(std::string(name) + "_count", "", total);
    }
    std::string take() { return std::move(text_); }

  private:
    std::string text_;
};

// A label value: backslash, double quote and newline escaped.
std::string label(std::string_view value) {
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"' || c == '\n')
            out += '\\';
        out += c == '\n' ? 'n' : c;
    }
    return out;
}

// A counter family with one sample a reason, in order.
void by_reason(Exposition& e, const char* name, const char* help,
               std::initializer_list<const char*> reasons,
               const std::function<std::uint64_t(int)>& count) {
    e.family(name, "counter", help);
    int i = 0;
    for (const char* reason : reasons)
        e.sample(name, std::string("reason=\"") + reason + "\"", count(i++));
}

// The families with labels: requests, update answers, throttles, refusals.
void labelled(const Metrics& m, Exposition& e) {
    e.family("tovix_requests_total", "counter",
             "Requests answered by the update server, by route and HTTP status.");
    for (int r = 0; r < Metrics::kRoutes; ++r) {
        for (std::size_t i = 0; i <= Metrics::kStatuses.size(); ++i) {
            const std::uint64_t n = m.requests_of(static_cast<Metrics::Route>(r), i);
            if (n == 0)
                continue;
            const std::string status =
                i < Metrics::kStatuses.size() ? std::to_string(Metrics::kStatuses[i]) : "other";
            e.sample("tovix_requests_total",
                     std::string("route=\"") + Metrics::kRouteNames[r] + "\",status=\"" + status +
                         "\"",
                     n);
        }
    }
    e.family("tovix_updates_total", "counter",
             "Update answers, one per host named, by result word.");
    for (std::size_t i = 0; i < Metrics::kResults.size(); ++i)
        e.sample("tovix_updates_total", "result=\"" + label(Metrics::kResults[i]) + "\"",
                 m.results_of(i));
    e.counter("tovix_password_checks_total", "Password checks (Argon2id) run.", m.password_checks);
    e.counter("tovix_password_cache_hits_total",
              "Credentials accepted without Argon2id, having passed a check before.",
              m.password_cache_hits);
    by_reason(e, "tovix_throttled_total",
              "Requests answered 911 without a password check, by reason.",
              {"source", "account", "checks_full"},
              [&m](int i) { return m.throttled_of(static_cast<Metrics::Throttle>(i)); });
    e.family("tovix_web_sign_ins_total", "counter", "Sign-ins on the web page, by outcome.");
    for (int i = 0; i < Metrics::kSignIns; ++i)
        e.sample("tovix_web_sign_ins_total",
                 std::string("result=\"") + Metrics::kSignInNames[i] + "\"",
                 m.sign_ins_of(static_cast<Metrics::SignIn>(i)));
    e.family("tovix_web_actions_total", "counter",
             "Forms of the web page that changed something, by action.");
    for (int i = 0; i < Metrics::kPageActions; ++i)
        e.sample("tovix_web_actions_total",
                 std::string("action=\"") + Metrics::kPageActionNames[i] + "\"",
                 m.page_actions_of(static_cast<Metrics::PageAction>(i)));
    by_reason(e, "tovix_http_refused_total",
              "Requests and connections the HTTP layer refused by itself, by reason.",
              {"too_large", "malformed", "too_slow", "too_many_connections", "per_source"},
              [&m](int i) { return m.refused_of(static_cast<Metrics::Refusal>(i)); });
}

} // namespace

std::string render_metrics(const Metrics& m) {
    Exposition e;
    labelled(m, e);
    e.histogram("tovix_commit_batch_size", "Host updates per committed transaction.",
                m.batch_sizes);
    e.histogram("tovix_commit_duration_seconds",
                "Time to write and sync one transaction of updates.", m.commit_seconds);
    e.counter("tovix_commit_failures_total", "Transactions rolled back on a database error.",
              m.commit_failures);
    e.counter("tovix_updates_durable_total", "Host updates in committed transactions.",
              m.updates_durable);
    e.gauge("tovix_committer_queue_depth", "Host updates waiting for the committer.",
            m.committer_queue);
    e.gauge("tovix_committer_queue_limit", "Host updates the committer queues at most.",
            m.committer_queue_limit);
    e.gauge("tovix_activity_pending_hosts",
            "Hosts whose last-seen time or fault counts wait to be written.", m.activity_pending);
    e.histogram("tovix_update_duration_seconds",
                "Update requests: time from the request's arrival to its answer.",
                m.update_seconds);
    e.gauge("tovix_open_connections", "Connections open on the public listeners.", m.connections);
    e.gauge("tovix_suspended_requests", "Requests waiting for their answer.", m.suspended);
    e.gauge("tovix_queued_password_checks", "Password checks waiting for a worker thread.",
            m.queued_checks);
    e.gauge("tovix_hosts", "Hosts owned by the accounts.", m.hosts);
    e.gauge("tovix_accounts", "Accounts.", m.accounts);
    e.gauge("tovix_zones", "Zones served.", m.zones);
    e.gauge("tovix_last_commit_timestamp_seconds",
            "Unix time of the last successful commit; 0: none since the start.",
            m.last_commit_unix);
    e.counter("tovix_dns_purge_commands_total", "Purge commands sent to a PowerDNS control socket.",
              m.purge_commands);
    e.counter("tovix_dns_purge_failures_total", "Purge commands that failed.", m.purge_failures);
    e.counter("tovix_dns_purge_unconfirmed_total",
              "Changes (updates, ACME challenges) answered before every PowerDNS had purged them:"
              " one failing, or --purge-wait passed.",
              m.purge_unconfirmed);
    e.counter("tovix_activity_dropped_total",
              "Last-seen times and fault counts dropped because too many hosts had some waiting"
              " to be written.",
              m.activity_dropped);
    e.gauge("process_start_time_seconds", "Start time of the process since the Unix epoch.",
            m.start_unix);
    e.family("tovix_build_info", "gauge", "The server's version and database kind.");
    e.sample("tovix_build_info",
             "version=\"" + label(TOVIX_VERSION) + "\",database=\"" + label(m.database_kind) + "\"",
             std::uint64_t{1});
    return e.take();
}

} // namespace tovix::server
