// The HTTP side of tovix-server: GNU libmicrohttpd, event-driven (epoll, a
// small pool of threads, none of them held by an idle or slow connection),
// plain HTTP and HTTPS, with the limits a public service needs. A handler
// answers a request at once or later, from any thread.
#pragma once

#include "http/sources.h"

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tovix::server {

struct ConnectionTable;

using Fields = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;
    std::string target; // the request line's target, as sent
    std::string path;   // decoded, without the query
    Fields headers;     // as sent, in order
    Fields query;       // decoded; a key without '=' has an empty value
    std::string peer;   // the connection's source address, canonical text
    int peer_port = 0;
    bool https = false;
    std::string body;                                 // at most HttpLimits::max_body bytes
    std::chrono::steady_clock::time_point received{}; // its request line came in

    // The first header of that name (any case) or query parameter, if any.
    std::optional<std::string> header(std::string_view name) const;
    std::optional<std::string> param(std::string_view name) const;
};

struct HttpResponse {
    int status = 200;
    std::string body;
    Fields headers; // Content-Type is text/plain unless given here
};

// What the HTTP layer refused by itself (malformed, too large, too slow),
// for the request log: the handler never saw these.
struct Rejection {
    std::string peer;
    int peer_port = 0;
    std::string target; // empty when the request line itself was refused
    int status = 0;     // 0: the connection was dropped without an answer
};

struct HttpLimits {
    unsigned connections = 10000;              // in all
    unsigned connections_per_ip = 256;         // from one source (see SourceCounts)
    std::size_t connection_memory = 16 * 1024; // request line and headers
    unsigned idle_timeout_s = 15;              // between requests on a connection
    unsigned head_deadline_s = 10;             // to send a whole request head
    std::size_t max_body = 1024;               // a larger (or unannounced) body is refused
    // Threads of the epoll pool; 0: one per processor, at least two. No
    // handler blocks one, so more threads than processors only add
    // switches between them.
    unsigned threads = 0;
};

struct Endpoint {
    std::string host; // numeric address
    int port = 0;     // 0 picks a free one
    // HTTPS when both are set: PEM text, not file names.
    std::string tls_cert;
    std::string tls_key;
};

class HttpServer {
  public:
    using Reply = std::function<void(HttpResponse)>;
    // Called on one of the server's threads; must call `reply` exactly once,
    // before or after it returns.
    using Handler = std::function<void(const HttpRequest&, Reply)>;
    using RejectionLog = std::function<void(const Rejection&)>;
    // The answer to a request this layer refuses by its head (413, 414,
    // 400, 411) in place of the plain one, if it gives one: the web page's
    // own page for a body too large. Called on the library's threads with
    // the head alone (no body, no query), and must not block.
    using RefusalPage = std::function<std::optional<HttpResponse>(const HttpRequest&, int status)>;

    HttpServer(Handler handler, HttpLimits limits, RejectionLog rejections);
    ~HttpServer(); // stops
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and starts serving one address; may be called for several.
    // On failure returns false with the reason in *error.
    bool listen(const Endpoint& endpoint, std::string* error);
    // Before listen().
    void set_refusal_page(RefusalPage page) { refusal_page_ = std::move(page); }
    // Serves a connection made some other way (a socket pair, in the fuzz
    // target) as one accepted on the first address listened on, from
    // `peer`; the server owns `fd` from here on. False (and `fd` closed)
    // when nothing is listened on.
    bool adopt(int fd, const sockaddr* peer, socklen_t length);
    // The port of the n-th address listened on.
    int port(std::size_t n = 0) const;
    // Stops accepting connections; requests that come on open ones from
    // now on are answered 503 "stopping" with Connection: close, while the
    // answers of those already handed to the handler still go out.
    void drain();
    // Drains, answers what is still waiting 503, and closes every
    // connection. Safe more than once.
    void stop();

    struct Connection; // per connection, for the slow-client sweep
    struct Daemon;     // per address listened on

    // For the library's callbacks.
    const Handler& handler() const { return handler_; }
    const HttpLimits& limits() const { return limits_; }
    const RejectionLog& rejection_log() const { return rejections_; }
    const RefusalPage& refusal_page() const { return refusal_page_; }
    ConnectionTable& connection_table() { return *connections_; }
    SourceCounts& sources() { return sources_; }

  private:
    void sweep();

    Handler handler_;
    HttpLimits limits_;
    RejectionLog rejections_;
    RefusalPage refusal_page_;
    std::vector<std::unique_ptr<Daemon>> daemons_;
    std::atomic<bool> stopping_{false};
    std::thread sweeper_;
    std::shared_ptr<ConnectionTable> connections_;
    SourceCounts sources_;
};

} // namespace tovix::server
