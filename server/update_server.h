// The update server: answers DynDNS-style update requests over HTTP and keeps
// the hosts and their DNS records in a Store.
#pragma once

#include "activity.h"
#include "auth/account_rules.h"
#include "auth/authenticator.h"
#include "auth/credentials.h"
#include "auth/guard.h"
#include "base/strings.h"
#include "base/workers.h"
#include "committer.h"
#include "dns/purge.h"
#include "dyndns.h"
#include "http/server.h"
#include "request_log.h"
#include "store/changes.h"
#include "store/store.h"
#include "web.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tovix::server {

struct Config {
    // Written to a database that has no accounts yet, in place of the
    // built-in account (tests use this); never taken from a command line.
    std::vector<SeedAccount> accounts;
    // The built-in account in a new database: only when the server listens
    // on loopback alone and serves the default zone.
    bool default_account = true;
    // Every address the server listens on is a loopback address: then the
    // built-in account may exist, and loopback addresses may be published.
    bool loopback_only = false;
    bool public_addresses_only = false; // no private ranges, no loopback
    bool reveal_owned_names = false;    // !yours for another account's host
    std::string db_path = "tovix-server.db";
    std::string pdns_schema;        // for a new database; empty: PowerDNS's package's file
    std::vector<std::string> zones; // served zones, normalized; empty: kDefaultZone
    int ttl = kDefaultTtl;          // of every published record
    // Control sockets of the PowerDNS instances serving the database: each
    // commit purges the names it changed from their caches.
    std::vector<std::string> pdns_control;
    std::string log_path;          // also append log lines here, if set
    bool log_to_stderr = true;     // one line per request on stderr
    std::size_t keep_requests = 0; // kept in memory for tests (KeptRequests)
    TrustedProxies proxies;        // whose forwarding header names the caller
    HttpLimits limits;
    LoginGuard::Policy guard;
    int throttled_delay_ms = 1000; // what a guess past the guard's limit costs
    // How often the database is asked whether the accounts changed.
    std::chrono::milliseconds accounts_refresh{200};
    std::size_t history = 100; // changes kept per host
    // How often the hosts' last-seen times and faults are written.
    std::chrono::milliseconds activity_interval{60000};
    bool web = true;             // the web page under /
    bool web_allow_http = false; // its sign-in over plain HTTP beyond loopback
};

class UpdateServer {
  public:
    static constexpr std::size_t kHistorySize = 1000;

    // Opens (or creates) the database, writes the accounts of a new one and
    // reads them. Throws StoreError, or std::invalid_argument for an account
    // that cannot be written.
    explicit UpdateServer(Config config);
    ~UpdateServer(); // stops
    UpdateServer(const UpdateServer&) = delete;
    UpdateServer& operator=(const UpdateServer&) = delete;

    // Serves one address (HTTPS when the Endpoint carries a certificate and key).
    bool listen(const Endpoint& endpoint, std::string* error);
    int port(std::size_t n = 0) const { return http_.port(n); }
    // Stops serving: accepts nothing more, answers what was accepted
    // (within kStopBound), then closes the connections. Safe from any
    // thread, and more than once.
    void stop();
    static constexpr std::chrono::seconds kStopBound{30};

    // Answers one request; this is what the HTTP layer calls.
    void handle(const HttpRequest& request, HttpServer::Reply reply);

  private:
    // Tests read the requests kept (Config::keep_requests) through it.
    friend struct KeptRequests;

    struct Answer {
        Answer(int status, std::string body, int retry_after = 0, Fields headers = {})
            : status(status), body(std::move(body)), retry_after(retry_after),
              headers(std::move(headers)) {}
        int status;
        std::string body;
        int retry_after;            // seconds, for a 503
        Fields headers;             // Content-Type is text/plain unless given here
        bool authenticated = false; // valid credentials came with the request
    };
    using Respond = std::function<void(Answer)>;
    Respond responder(const HttpRequest& request, const std::string& caller,
                      const std::string& user, HttpServer::Reply reply);
    // `respond` for a request whose credentials were found good.
    static Respond authenticated(Respond respond);
    void answer(const Verdict& verdict, const HttpRequest& request, const std::string& caller,
                const Respond& respond);
    void update(const HttpRequest& request, const std::string& caller, const Verdict& verdict,
                const Respond& respond);
    void checkip(const HttpRequest& request, const std::string& caller, const Respond& respond);
    void acme_update(const HttpRequest& request, const std::string& caller, const Respond& respond);
    void set_challenge(const std::string& host, const std::string& txt, const Respond& respond);
    // The hosts a request names that an account owns: counted against them
    // when it is refused.
    std::vector<std::string> named_hosts(const HttpRequest& request, const std::string& user) const;
    std::vector<std::string> owned(std::vector<std::string> hosts) const;
    void count_fault(const std::vector<std::string>& hosts, ActivityLog::Fault kind);
    struct Plan {
        std::vector<std::string> lines; // one per host named, in order
        std::vector<Update> updates;
        std::vector<std::size_t> slots; // the line each update answers
        std::string stored;             // the addresses the answers name; empty: as held
        std::string body() const;
    };
    std::optional<Update> requested(const HttpRequest& request, const std::string& caller) const;
    Plan plan_update(const HttpRequest& request, const std::string& caller,
                     const AccountsSnapshot& accounts, const Verdict& verdict) const;
    bool seed_accounts();

    std::mutex stop_mutex_;
    bool stopped_ = false;
    Config config_;
    std::vector<std::string> zones_;
    std::atomic<bool> loopback_only_;
    RequestLog log_;
    Store store_;
    const bool seeded_; // seed_accounts(), before auth_ reads them
    // Before workers_: their queued checks still run while workers_ stops.
    Authenticator auth_;
    DnsPurger purger_; // before committer_, which tells it the changed names
    ActivityLog activity_;
    // With PostgreSQL and a PowerDNS to purge: the other servers' changes.
    std::unique_ptr<ChangeListener> listener_;
    Committer committer_;
    // Before workers_, as auth_ is: a page's queued job still runs while
    // workers_ stops. Unless Config::web is off.
    std::unique_ptr<WebPages> web_;
    Workers workers_;
    HttpServer http_; // last: stopped first
};

} // namespace tovix::server
