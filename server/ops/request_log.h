// The request log: one line per request, with every password-like value
// hidden, written by a thread of its own so that no answer ever waits for
// the disk or a full pipe. No body but an update's result words is ever
// logged. It stays bounded under attack: every field is cut to its first
// 256 bytes, lines of requests that carry no valid credentials are limited
// per source, lines of refused requests in all (what is left out is counted
// in a line of its own), and the queue has a fixed size.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tovix::server {

// What the server saw and answered.
struct RequestEntry {
    std::time_t time = 0;
    std::string remote_addr; // the caller (behind a trusted proxy: as forwarded)
    int remote_port = 0;
    std::string method;
    std::string target; // path and query, password-like values redacted
    std::string user_agent;
    std::string user; // name presented in the credentials, or empty
    int status = 0;   // 0: the connection was dropped without an answer
    // An update's result words and addresses; for any other route only its
    // name: a page, a token or a challenge never reaches the log.
    std::string answer;
    // The request carried valid credentials (a password, a token or a web
    // session); the others are limited per source.
    bool authenticated = false;
};

// "time remote method target user-agent user status answer", tab-separated,
// every field as log_field() makes it.
// The remote field is ADDR:PORT ([ADDR]:PORT for IPv6). No trailing newline.
std::string format_log_line(const RequestEntry& entry);

// "ADDR:PORT", "[ADDR6]:PORT".
std::string format_endpoint(const std::string& address, int port);

// The target as logged: the values of password-like query keys (also when
// the key is percent-encoded) replaced by ***, and cut to kMaxLoggedTarget
// bytes.
std::string redact_target(std::string_view target);
inline constexpr std::size_t kMaxLoggedTarget = 256;

class RequestLog {
  public:
    // Hears each entry (its target redacted) before write() returns, on the
    // writer's thread: whatever it keeps is its own (tests read the log
    // through one).
    using Sink = std::function<void(const RequestEntry& entry)>;
    struct Options {
        bool to_stderr = true;
        std::string path; // appended to (made mode 0600), if set
        Sink sink;
        std::size_t max_queued = 10000;
        // Lines of refused requests (status 0 or 400 and above), in all.
        double refused_burst = 200;
        double refused_per_second = 50;
        // Lines of requests without valid credentials, per source (an IPv4
        // address or an IPv6 /64), for at most max_sources at a time.
        double source_burst = 20;
        double source_per_second = 1;
        std::size_t max_sources = 10000;
    };

    // Throws std::runtime_error when the file cannot be opened.
    explicit RequestLog(Options options);
    ~RequestLog(); // writes what is queued
    RequestLog(const RequestLog&) = delete;
    RequestLog& operator=(const RequestLog&) = delete;

    // Never waits for a write (but tells the sink first).
    void write(RequestEntry entry);

  private:
    // A token bucket refilled once a second.
    struct Bucket {
        double tokens = 0;
        std::time_t refilled = 0;
        void refill(std::time_t now, double burst, double per_second);
    };
    void run();
    bool admit(const RequestEntry& entry); // under mutex_
    Bucket& source_bucket(const std::string& address, std::time_t now);
    void say_dropped(); // under mutex_
    static constexpr std::size_t kWriteSize = 64 * 1024;

    Options options_;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_{nullptr, &std::fclose};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> lines_;
    Bucket refused_;
    std::unordered_map<std::string, Bucket> sources_;
    std::size_t refused_dropped_ = 0, source_dropped_ = 0, overflow_dropped_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace tovix::server
