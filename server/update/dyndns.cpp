// The rules of the update convention: what a host name is, which addresses
// can be published and what myip names, and how the switches and the mail
// exchanger read. Pure functions over text; no I/O.
#include "update/dyndns.h"

#include "base/address.h"
#include "base/strings.h"
#include "dns/names.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <vector>

namespace tovix::server {

namespace {

std::string upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

bool is_v6(const std::string& canonical) {
    return canonical.find(':') != std::string::npos;
}

} // namespace

std::string Addresses::text() const {
    if (ipv4 && ipv6)
        return *ipv4 + "," + *ipv6;
    return ipv4 ? *ipv4 : ipv6.value_or(std::string());
}

bool is_host_address(const std::string& canonical, AddressPolicy policy) {
    if (is_v6(canonical)) {
        in6_addr v6{};
        if (inet_pton(AF_INET6, canonical.c_str(), &v6) != 1)
            return false;
        const bool unique_local = (v6.s6_addr[0] & 0xfe) == 0xfc; // fc00::/7
        return !IN6_IS_ADDR_UNSPECIFIED(&v6) && !IN6_IS_ADDR_MULTICAST(&v6) &&
               !IN6_IS_ADDR_LINKLOCAL(&v6) && (policy.loopback || !IN6_IS_ADDR_LOOPBACK(&v6)) &&
               (policy.private_ranges || !unique_local);
    }
    in_addr v4{};
    if (inet_pton(AF_INET, canonical.c_str(), &v4) != 1)
        return false;
    const std::uint32_t a = ntohl(v4.s_addr);
    auto in = [a](std::uint32_t net, int bits) {
        return (a >> (32 - bits)) == (net >> (32 - bits));
    };
    const bool is_private =
        in(0x0a000000, 8) || in(0xac100000, 12) || in(0xc0a80000, 16) || in(0x64400000, 10);
    // not 0/8, not multicast, not 240/4 or broadcast, not link-local
    return !in(0, 8) && a < 0xe0000000 && !in(0xa9fe0000, 16) &&
           (policy.loopback || !in(0x7f000000, 8)) && (policy.private_ranges || !is_private);
}

Addresses parse_myip(std::string_view myip, AddressPolicy policy) {
    const std::vector<std::string> entries = split_list(myip);
    Addresses out;
    if (entries.size() > 2)
        return out;
    Addresses proper;
    int v4 = 0;
    int v6 = 0;
    for (const std::string& entry : entries) {
        std::optional<std::string> ip = canonical_ip(entry);
        if (!ip)
            continue;
        std::optional<std::string>& slot = is_v6(*ip) ? proper.ipv6 : proper.ipv4;
        ++(is_v6(*ip) ? v6 : v4);
        if (is_host_address(*ip, policy))
            slot = *ip;
    }
    if (v4 > 1 || v6 > 1)
        return out;
    return proper;
}

std::optional<Addresses> update_addresses(const std::optional<std::string>& myip,
                                          const std::string& caller, AddressPolicy policy) {
    if (myip) {
        Addresses named = parse_myip(*myip, policy);
        if (!named.empty())
            return named;
    }
    if (!is_host_address(caller, policy))
        return std::nullopt;
    Addresses out;
    (is_v6(caller) ? out.ipv6 : out.ipv4) = caller;
    return out;
}

std::optional<Ipv6Prefix> parse_lan_prefix(const std::optional<std::string>& value,
                                           AddressPolicy policy, bool* bad) {
    *bad = false;
    if (!value || value->empty())
        return std::nullopt;
    std::optional<Ipv6Prefix> prefix = parse_ipv6_prefix(*value);
    *bad = !prefix || prefix->length < kShortestLanPrefix || prefix->length > kLongestLanPrefix ||
           !is_host_address(prefix->network, policy);
    return *bad ? std::nullopt : prefix;
}

std::optional<bool> parse_switch(const std::optional<std::string>& value, const char* on,
                                 const char* off) {
    if (!value)
        return std::nullopt;
    const std::string v = upper(*value);
    if (v == on)
        return true;
    if (v == off)
        return false;
    return std::nullopt;
}

std::optional<std::string> parse_mx(const std::optional<std::string>& value, bool* bad) {
    *bad = false;
    if (!value || upper(*value) == "NOCHG")
        return std::nullopt;
    if (value->empty())
        return std::string();
    std::string host = normalize_host(*value);
    if (!is_fqdn(host)) {
        *bad = true;
        return std::nullopt;
    }
    return host;
}

} // namespace tovix::server
