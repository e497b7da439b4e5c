#include "dyndns.h"

#include "protocol.h"

#include <arpa/inet.h>
#include <netinet/in.h>

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

bool is_host_address(const std::string& canonical) {
    if (is_v6(canonical)) {
        in6_addr v6{};
        if (inet_pton(AF_INET6, canonical.c_str(), &v6) != 1)
            return false;
        return !IN6_IS_ADDR_UNSPECIFIED(&v6) && !IN6_IS_ADDR_MULTICAST(&v6);
    }
    in_addr v4{};
    if (inet_pton(AF_INET, canonical.c_str(), &v4) != 1)
        return false;
    const std::uint32_t a = ntohl(v4.s_addr);
    const std::uint32_t first = a >> 24;
    return first != 0 && first < 224; // not 0/8, not multicast, not 240/4 or broadcast
}

Addresses parse_myip(std::string_view myip) {
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
        if (is_host_address(*ip))
            slot = *ip;
    }
    if (v4 > 1 || v6 > 1)
        return out;
    return proper;
}

Addresses update_addresses(const std::optional<std::string>& myip, const std::string& caller) {
    if (myip) {
        Addresses named = parse_myip(*myip);
        if (!named.empty())
            return named;
    }
    Addresses out;
    (is_v6(caller) ? out.ipv6 : out.ipv4) = caller;
    return out;
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

std::optional<std::string> parse_mx(const std::optional<std::string>& value) {
    if (!value || upper(*value) == "NOCHG")
        return std::nullopt;
    if (value->empty())
        return std::string();
    std::string host = normalize_host(*value);
    if (!is_fqdn(host))
        return std::nullopt;
    return host;
}

} // namespace tovix::server
