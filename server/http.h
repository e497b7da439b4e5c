// The HTTP side of tovix-server: GNU libmicrohttpd, event-driven (epoll, a
// small pool of threads, none of them held by an idle or slow connection),
// plain HTTP and HTTPS, with the limits a public service needs. A handler
// answers a request at once or later, from any thread.
#pragma once

#include <atomic>
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
    bool tls = false;

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

// Connections open per source, counted under the key the login guard uses
// (source_key: an IPv4 address, or an IPv6 /64, since one subscriber
// usually has a whole /64), against one limit; 0 is no limit.
class SourceCounts {
  public:
    explicit SourceCounts(unsigned limit) : limit_(limit) {}
    // Whether one more connection from `address` stays within the limit.
    bool admits(std::string_view address) const;
    // Counts a connection from `address`; the key returned gives it back.
    std::string add(std::string_view address);
    void release(const std::string& key);

  private:
    unsigned limit_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, unsigned> open_;
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

    HttpServer(Handler handler, HttpLimits limits, RejectionLog rejections);
    ~HttpServer(); // stops
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and starts serving one address; may be called for several.
    // On failure returns false with the reason in *error.
    bool listen(const Endpoint& endpoint, std::string* error);
    // The port of the n-th address listened on.
    int port(std::size_t n = 0) const;
    // Stops accepting and closes every connection. Safe more than once.
    void stop();

    struct Connection; // per connection, for the slow-client sweep
    struct Daemon;     // per address listened on

    // For the library's callbacks.
    const Handler& handler() const { return handler_; }
    const HttpLimits& limits() const { return limits_; }
    const RejectionLog& rejection_log() const { return rejections_; }
    ConnectionTable& connection_table() { return *connections_; }
    SourceCounts& sources() { return sources_; }

  private:
    void sweep();

    Handler handler_;
    HttpLimits limits_;
    RejectionLog rejections_;
    std::vector<std::unique_ptr<Daemon>> daemons_;
    std::atomic<bool> stopping_{false};
    std::thread sweeper_;
    std::shared_ptr<ConnectionTable> connections_;
    SourceCounts sources_;
};

// The source address of a caller: the connection's peer, or, when the peer
// is a trusted proxy, the address that proxy appended to the forwarding
// header, walked back past further trusted proxies to the first address that
// is not one. Only the one header the proxies write is read: a client can
// send either header, and a proxy appends to the one it knows without
// removing the other.
class TrustedProxies {
  public:
    enum class Header {
        XForwardedFor, // X-Forwarded-For: a list of addresses
        Forwarded,     // Forwarded: elements with a for= node (RFC 7239)
    };
    // "x-forwarded-for" or "forwarded", any case.
    static std::optional<Header> parse_header(std::string_view name);

    // "192.0.2.0/24", "2001:db8::/32", a bare address. False if malformed.
    bool add(std::string_view cidr);
    void set_header(Header header) { header_ = header; }
    Header header() const { return header_; }
    bool empty() const { return nets_.empty(); }
    bool contains(std::string_view address) const;
    std::string caller(const HttpRequest& request) const;

  private:
    struct Net {
        int family = 0;
        unsigned char bytes[16] = {};
        int prefix = 0;
    };
    std::vector<Net> nets_;
    Header header_ = Header::XForwardedFor;
};

} // namespace tovix::server
