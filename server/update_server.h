// The update server: answers DynDNS-style update requests over HTTP and keeps
// the hosts and their DNS records in a Store.
#pragma once

#include "protocol.h"
#include "store.h"

#include <httplib.h>

#include <atomic>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tovix::server {

// Built in account, matching the client's out-of-the-box settings.
Account default_account();

// The zone served when none is given: it holds the default account's host.
inline constexpr const char* kDefaultZone = "tovix.example";

struct Config {
    std::vector<Account> accounts; // empty: default_account()
    std::string db_path = "tovix-server.db";
    std::vector<std::string> zones; // served zones, normalized; empty: kDefaultZone
    int ttl = kDefaultTtl;          // of every published record
    std::string log_path;           // also append log lines here, if set
    bool log_to_stderr = true;      // one line per request on stderr
};

// What the server saw and answered, as kept in the request history.
struct RequestEntry {
    std::time_t time = 0;
    std::string remote_addr;
    int remote_port = 0;
    std::string method;
    std::string target; // path and query, password-like values redacted
    std::string user_agent;
    std::string user; // name presented in the credentials, or empty
    int status = 0;
    std::string answer; // response body
};

// "time remote method target user-agent user status answer", tab-separated,
// every field escaped with escape_field(). The remote field is ADDR:PORT
// ([ADDR]:PORT for IPv6). No trailing newline.
std::string format_log_line(const RequestEntry& entry);

class UpdateServer {
  public:
    static constexpr std::size_t kHistorySize = 1000;

    // Opens the database and checks the accounts. Throws StoreError, or
    // std::invalid_argument when two accounts claim the same host.
    explicit UpdateServer(Config config);
    ~UpdateServer(); // stops and joins
    UpdateServer(const UpdateServer&) = delete;
    UpdateServer& operator=(const UpdateServer&) = delete;

    // Binds the listening socket; port 0 picks a free one (see port()).
    // On failure returns false and describes why in *error.
    bool bind(const std::string& host, int port, std::string* error);
    int port() const { return port_; }

    // Serves on the calling thread until stop(). False if serving failed.
    bool serve();
    // Serves on a background thread; returns once requests are accepted.
    void start();
    // Stops serving; safe from any thread, and more than once.
    void stop();

    // Answers one request; this is what the HTTP handlers call.
    void handle(const httplib::Request& req, httplib::Response& res);

    // The most recent requests (at most kHistorySize), oldest first. A
    // request's entry is recorded before its answer is sent.
    std::vector<RequestEntry> requests() const;

    Store& store() { return store_; }

  private:
    struct Reply {
        int status = 200;
        std::string body;
        std::string user;
    };
    Reply answer(const httplib::Request& req);
    std::string update_hosts(const httplib::Request& req, const Account& account);
    void record(RequestEntry entry);

    std::vector<Account> accounts_;
    std::vector<std::string> zones_;
    std::map<std::string, std::size_t> owners_; // host -> index into accounts_
    Store store_;
    httplib::Server http_;
    int port_ = 0;

    std::atomic<bool> serving_{false};
    std::atomic<bool> stopping_{false};
    std::thread thread_;

    mutable std::mutex log_mutex_;
    std::deque<RequestEntry> history_;
    bool log_to_stderr_;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> log_file_{nullptr, &std::fclose};
};

} // namespace tovix::server
