// Who is calling: the connections each source has open, and the caller's
// address behind trusted proxies. A source is what the login guard counts:
// an IPv4 address, or an IPv6 /64.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tovix::server {

struct HttpRequest;

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
    // Whether the client reached the trusted proxy this request came from
    // over HTTPS: the proxy's own entry (the last) of X-Forwarded-Proto, or
    // the proto= of the last Forwarded element, says "https". A request
    // from anywhere else: never.
    bool forwarded_https(const HttpRequest& request) const;

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
