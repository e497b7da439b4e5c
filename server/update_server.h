// The update server: answers DynDNS-style update requests over HTTP and keeps
// the hosts and their DNS records in a Store.
#pragma once

#include "committer.h"
#include "guard.h"
#include "http.h"
#include "protocol.h"
#include "store.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
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
    // Written to a database that has no accounts yet, in place of the
    // built-in account (tests use this); never taken from a command line.
    std::vector<Account> accounts;
    bool default_account = true; // the built-in account in a new database
    std::string db_path = "tovix-server.db";
    std::vector<std::string> zones; // served zones, normalized; empty: kDefaultZone
    int ttl = kDefaultTtl;          // of every published record
    std::string log_path;           // also append log lines here, if set
    bool log_to_stderr = true;      // one line per request on stderr
    TrustedProxies proxies;         // whose X-Forwarded-For/Forwarded count
    HttpLimits limits;
    LoginGuard::Policy guard;
    int throttled_delay_ms = 1000; // what a guess past the guard's limit costs
};

// What the server saw and answered, as kept in the request history.
struct RequestEntry {
    std::time_t time = 0;
    std::string remote_addr; // the caller (behind a trusted proxy: as forwarded)
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

// Runs jobs on a few threads of its own, and jobs due later on one more; the
// server hands them password checks (Argon2id is too slow for the HTTP
// threads) and the answers it makes a guesser wait for.
class Workers {
  public:
    Workers(unsigned threads, std::size_t max_queued);
    ~Workers(); // runs what is due, drops what is not
    // False when the queue is full.
    bool run(std::function<void()> job);
    void later(int ms, std::function<void()> job);

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> jobs_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timed_;
    std::size_t max_queued_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
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
    // Stops serving; safe from any thread, and more than once.
    void stop();

    // Answers one request; this is what the HTTP layer calls.
    void handle(const HttpRequest& request, HttpServer::Reply reply);

    // The most recent requests (at most kHistorySize), oldest first. A
    // request's entry is recorded before its answer is sent.
    std::vector<RequestEntry> requests() const;

    Store& store() { return store_; }

  private:
    struct Answer {
        int status = 200;
        std::string body;
    };
    struct Accounts {
        std::map<std::string, AccountRecord> by_name;
        std::map<std::string, std::string> owners; // host -> account name
    };
    using Respond = std::function<void(Answer)>;
    enum class Check { Good, Bad, Busy };
    using Waiter = std::function<void(Check)>;

    void authenticated(const HttpRequest& request, const std::string& caller,
                       const AccountRecord& account, const Respond& respond);
    struct Plan {
        std::vector<std::string> lines; // one per host named, in order
        std::vector<Update> updates;
        std::vector<std::size_t> slots; // the line each update answers
        std::string stored;             // the addresses the answers name
        std::string body() const;
    };
    Plan plan_update(const HttpRequest& request, const std::string& caller,
                     const AccountRecord& account);
    std::shared_ptr<const Accounts> current_accounts();
    void record(RequestEntry entry);

    Config config_;
    std::vector<std::string> zones_;
    Store store_;
    LoginGuard guard_;
    VerifiedCredentials verified_;
    std::string unknown_user_hash_; // checked for unknown names, so they take as long

    std::mutex checks_mutex_; // Argon2id checks running, by credential digest
    std::map<std::string, std::vector<Waiter>> checks_;

    std::mutex accounts_mutex_;
    std::shared_ptr<const Accounts> accounts_;
    std::int64_t accounts_version_ = 0;
    bool accounts_checking_ = false; // a thread is asking the database
    std::chrono::steady_clock::time_point accounts_checked_;

    mutable std::mutex log_mutex_;
    std::deque<RequestEntry> history_;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> log_file_{nullptr, &std::fclose};

    Committer committer_;
    Workers workers_;
    HttpServer http_; // last: stopped first
};

} // namespace tovix::server
