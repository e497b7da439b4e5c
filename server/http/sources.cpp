// Connections counted per source under one lock, and the trusted-proxy walk:
// the chosen forwarding header's hops, nearest first, past every trusted
// proxy to the first address that is not one.
#include "http/sources.h"

#include "base/address.h"
#include "base/strings.h"
#include "http/server.h"

#include <arpa/inet.h>

#include <cstring>

namespace tovix::server {

// ---- connections per source ----------------------------------------------------

bool SourceCounts::admits(std::string_view address) const {
    if (limit_ == 0)
        return true;
    const std::string key = source_key(address);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = open_.find(key);
    return it == open_.end() || it->second < limit_;
}

std::string SourceCounts::add(std::string_view address) {
    std::string key = source_key(address);
    std::lock_guard<std::mutex> lock(mutex_);
    ++open_[key];
    return key;
}

void SourceCounts::release(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = open_.find(key);
    if (it != open_.end() && --it->second == 0)
        open_.erase(it);
}

// ---- trusted proxies ------------------------------------------------------------

namespace {

bool parse_address(std::string_view text, int* family, unsigned char* bytes) {
    std::string s(text);
    if (inet_pton(AF_INET, s.c_str(), bytes) == 1) {
        *family = AF_INET;
        return true;
    }
    if (inet_pton(AF_INET6, s.c_str(), bytes) == 1) {
        *family = AF_INET6;
        return true;
    }
    return false;
}

// "for=" node of a Forwarded element: 192.0.2.1, "192.0.2.1:80",
// "[2001:db8::1]:80". Empty when it names no address ("unknown", _hidden).
std::string forwarded_node(std::string_view node) {
    node = trim(node);
    if (node.size() >= 2 && node.front() == '"' && node.back() == '"')
        node = node.substr(1, node.size() - 2);
    if (!node.empty() && node.front() == '[') {
        std::size_t close = node.find(']');
        return close == std::string_view::npos ? std::string()
                                               : std::string(node.substr(1, close - 1));
    }
    std::size_t colon = node.find(':');
    if (colon != std::string_view::npos && node.find(':', colon + 1) == std::string_view::npos)
        node = node.substr(0, colon); // IPv4 with a port
    return std::string(node);
}

// The hops a request passed, nearest last: every instance of the chosen
// header, in order, as one list. A Forwarded element names its hop in one
// for= node; without one (or with two) the hop is unknown and left empty,
// which ends the walk there.
std::vector<std::string> forwarded_hops(const HttpRequest& request, TrustedProxies::Header header) {
    const bool forwarded = header == TrustedProxies::Header::Forwarded;
    const std::string_view wanted = forwarded ? "Forwarded" : "X-Forwarded-For";
    std::vector<std::string> hops;
    for (const auto& [name, value] : request.headers) {
        if (!iequals(name, wanted))
            continue;
        for (const std::string& element : split_list(value)) {
            if (!forwarded) {
                hops.emplace_back(trim(element));
                continue;
            }
            std::string node;
            int nodes = 0;
            for (const std::string& pair : split_list(element, ';')) {
                std::string_view p = trim(pair);
                if (p.size() > 4 && iequals(p.substr(0, 4), "for=")) {
                    node = forwarded_node(p.substr(4));
                    ++nodes;
                }
            }
            hops.push_back(nodes == 1 ? node : std::string());
        }
    }
    return hops;
}

} // namespace

std::optional<TrustedProxies::Header> TrustedProxies::parse_header(std::string_view name) {
    if (iequals(name, "x-forwarded-for"))
        return Header::XForwardedFor;
    if (iequals(name, "forwarded"))
        return Header::Forwarded;
    return std::nullopt;
}

bool TrustedProxies::add(std::string_view cidr) {
    Net net;
    std::size_t slash = cidr.find('/');
    if (!parse_address(cidr.substr(0, slash), &net.family, net.bytes))
        return false;
    const int bits = net.family == AF_INET ? 32 : 128;
    net.prefix = bits;
    if (slash != std::string_view::npos) {
        std::string_view digits = cidr.substr(slash + 1);
        if (digits.empty() || digits.size() > 3)
            return false;
        int value = 0;
        for (char c : digits) {
            if (c < '0' || c > '9')
                return false;
            value = value * 10 + (c - '0');
        }
        if (value > bits)
            return false;
        net.prefix = value;
    }
    nets_.push_back(net);
    return true;
}

bool TrustedProxies::contains(std::string_view address) const {
    int family = 0;
    unsigned char bytes[16] = {};
    if (!parse_address(address, &family, bytes))
        return false;
    for (const Net& net : nets_) {
        if (net.family != family)
            continue;
        int full = net.prefix / 8, rest = net.prefix % 8;
        if (std::memcmp(bytes, net.bytes, static_cast<std::size_t>(full)) != 0)
            continue;
        if (rest == 0 || ((bytes[full] ^ net.bytes[full]) & (0xff << (8 - rest)) & 0xff) == 0)
            return true;
    }
    return false;
}

std::string TrustedProxies::caller(const HttpRequest& request) const {
    if (!contains(request.peer))
        return request.peer;
    std::string caller = request.peer;
    std::vector<std::string> hops = forwarded_hops(request, header_);
    for (auto hop = hops.rbegin(); hop != hops.rend(); ++hop) {
        std::optional<std::string> address = canonical_ip(*hop);
        if (!address)
            break; // a hop we cannot read: trust nothing beyond it
        caller = *address;
        if (!contains(caller))
            break;
    }
    return caller;
}

bool TrustedProxies::forwarded_https(const HttpRequest& request) const {
    if (!contains(request.peer))
        return false;
    const bool forwarded = header_ == Header::Forwarded;
    std::string proto;
    for (const auto& [name, value] : request.headers) {
        if (!iequals(name, forwarded ? "Forwarded" : "X-Forwarded-Proto"))
            continue;
        for (const std::string& element : split_list(value)) {
            if (!forwarded) {
                proto = trim(element);
                continue;
            }
            proto.clear();
            for (const std::string& pair : split_list(element, ';')) {
                const std::string_view p = trim(pair);
                if (p.size() > 6 && iequals(p.substr(0, 6), "proto="))
                    proto = p.substr(6);
            }
        }
    }
    if (proto.size() >= 2 && proto.front() == '"' && proto.back() == '"')
        proto = proto.substr(1, proto.size() - 2);
    return iequals(proto, "https");
}

} // namespace tovix::server
