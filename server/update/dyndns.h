// The dyndns2 update request, apart from HTTP and from storage: which
// addresses an update stores (myip, or the caller's address), how the
// setting parameters read, and the words of the answer.
#pragma once

#include "base/prefix.h"

#include <optional>
#include <string>
#include <string_view>

namespace tovix::server {

// Longest host name list accepted in one request.
constexpr std::size_t kMaxHostsPerRequest = 20;

// The addresses one update stores, at most one of each family.
struct Addresses {
    std::optional<std::string> ipv4;
    std::optional<std::string> ipv6;

    bool empty() const { return !ipv4 && !ipv6; }
    // "192.0.2.1", "2001:db8::1" or "192.0.2.1,2001:db8::1": what the answer
    // names after good/nochg.
    std::string text() const;
};

// Which addresses a server publishes besides public ones.
struct AddressPolicy {
    bool loopback = false;      // 127.0.0.0/8, ::1: only a server on loopback alone
    bool private_ranges = true; // 10/8, 172.16/12, 192.168/16, 100.64/10, fc00::/7
};

// True for an address a host can have: a canonical IPv4 or IPv6 literal (see
// canonical_ip) that is not unspecified (0.0.0.0/8, ::), a broadcast or
// reserved IPv4 (240.0.0.0/4, 255.255.255.255 among them), multicast
// (224.0.0.0/4, ff00::/8) or link-local (169.254.0.0/16, fe80::/10), and
// that the policy allows.
bool is_host_address(const std::string& canonical, AddressPolicy policy = {});

// The proper host addresses that `myip` names: one address, or an IPv4 and
// an IPv6 separated by a comma, in either order. Improper entries are left
// out; a list of more than two entries, or two of one family, names none.
Addresses parse_myip(std::string_view myip, AddressPolicy policy = {});

// What an update stores: the proper addresses of `myip` when it names any,
// otherwise the caller's own address; nothing when that is no proper
// address either.
std::optional<Addresses> update_addresses(const std::optional<std::string>& myip,
                                          const std::string& caller, AddressPolicy policy = {});

// ipv6prefix=ADDR/LEN (or ip6lanprefix): the LAN prefix a router sends,
// which moves the hosts that follow it. Absent or empty (a router without
// IPv6 fills its template's field with nothing): none. Anything else must be
// a prefix of LEN 48 to 64 whose network could hold host addresses under
// the policy (not unspecified, link-local or multicast; unique-local only
// with private ranges), else *bad is set (and nothing given).
std::optional<Ipv6Prefix> parse_lan_prefix(const std::optional<std::string>& value,
                                           AddressPolicy policy, bool* bad);

// wildcard=ON|OFF, backmx=YES|NO, offline=YES|NO (any case): the value, or
// nothing when absent, NOCHG or anything else (the stored value stays).
std::optional<bool> parse_switch(const std::optional<std::string>& value, const char* on,
                                 const char* off);

// mx=NAME: the normalized host name; mx= (empty) removes the mail exchanger
// (empty result); nothing when absent or NOCHG. A value that is not a host
// name sets *bad (and gives nothing).
std::optional<std::string> parse_mx(const std::optional<std::string>& value, bool* bad);

} // namespace tovix::server
