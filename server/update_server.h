// The update server: answers DynDNS-style update requests over HTTP and keeps
// the hosts and their DNS records in a Store.
#pragma once

#include "acme/handler.h"
#include "auth/account_rules.h"
#include "auth/authenticator.h"
#include "auth/credentials.h"
#include "auth/guard.h"
#include "base/strings.h"
#include "base/workers.h"
#include "dns/purge.h"
#include "http/server.h"
#include "request_log.h"
#include "store/changes.h"
#include "store/store.h"
#include "update/activity.h"
#include "update/committer.h"
#include "update/dyndns.h"
#include "update/handler.h"
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

    Respond responder(const HttpRequest& request, const std::string& caller,
                      const std::string& user, HttpServer::Reply reply);
    void checkip(const HttpRequest& request, const std::string& caller, const Respond& respond);
    bool prepare_store();

    std::mutex stop_mutex_;
    bool stopped_ = false;
    Config config_;
    std::vector<std::string> zones_;
    std::atomic<bool> loopback_only_;
    RequestLog log_;
    DnsPurger purger_; // before store_, which tells it the changed names
    Store store_;
    const bool seeded_; // prepare_store(), before auth_ reads the accounts
    // Before workers_: their queued checks still run while workers_ stops.
    Authenticator auth_;
    ActivityLog activity_;
    // With PostgreSQL and a PowerDNS to purge: the other servers' changes.
    std::unique_ptr<ChangeListener> listener_;
    Committer committer_;
    UpdateHandler update_;
    AcmeHandler acme_;
    // Before workers_, as auth_ is: a page's queued job still runs while
    // workers_ stops. Unless Config::web is off.
    std::unique_ptr<WebPages> web_;
    Workers workers_;
    HttpServer http_; // last: stopped first
};

} // namespace tovix::server
