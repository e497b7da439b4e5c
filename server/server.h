// The composition root: the server built from its rooms for one Config.
// It opens the store, wires the store's changed names to PowerDNS's purge
// (once, before anything is written), and answers each request through
// one route table: the update route, the check-IP page, the ACME route and
// the web page. Build one in-process from a Config (the program, the tests
// and the fuzz targets all do), listen(), and stop() or destroy it.
#pragma once

#include "config.h"
#include "ops/request_log.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace tovix::server {

class UpdateServer {
  public:
    // Opens (or creates) the database, writes the accounts of a new one and
    // reads them. Throws StoreError, or std::invalid_argument for an account
    // that cannot be written. `sink`, if any, hears every request's log
    // entry before its answer is sent (tests read the log through it).
    explicit UpdateServer(Config config, RequestLog::Sink sink = {});
    ~UpdateServer(); // stops
    UpdateServer(const UpdateServer&) = delete;
    UpdateServer& operator=(const UpdateServer&) = delete;

    // Serves one address (HTTPS when the Endpoint carries a certificate and key).
    bool listen(const Endpoint& endpoint, std::string* error);
    int port(std::size_t n = 0) const;
    // Stops serving: accepts nothing more, answers what was accepted
    // (within kStopBound), then closes the connections. Safe from any
    // thread, and more than once.
    void stop();
    static constexpr std::chrono::seconds kStopBound{30};

    // Answers one request; this is what the HTTP layer calls.
    void handle(const HttpRequest& request, HttpServer::Reply reply);

  private:
    struct Rooms; // every room's part, in the order they are built
    struct Route;
    void seed_accounts();
    void build_routes();
    void warn_outside_zones() const;

    std::mutex stop_mutex_;
    bool stopped_ = false;
    const Config config_;
    std::atomic<bool> loopback_only_;
    std::vector<Route> routes_;
    std::unique_ptr<Rooms> rooms_;
};

} // namespace tovix::server
