// IPv6 prefixes and interface identifiers: the LAN prefix a router sends
// (ADDR/LEN), the suffix a host keeps behind it (an IPv6 literal whose
// leading bits are zero, or a MAC's modified EUI-64 identifier, RFC 4291
// appendix A), and the address the two make. Pure functions over text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tovix::server {

// The LAN prefix lengths a router may send: a /48 leaves a site's subnet
// and interface bits, a /64 the interface's alone.
inline constexpr int kShortestLanPrefix = 48;
inline constexpr int kLongestLanPrefix = 64;

struct Ipv6Prefix {
    std::string network; // canonical text, every bit past `length` zero
    int length = 0;
    std::string text() const { return network + "/" + std::to_string(length); }
};

// "2001:db8:1:2::/64": an IPv6 literal and a length from 0 to 128 in
// decimal. Bits past the length are dropped (RFC 4291 writes a node's
// address with its subnet's length so). Nothing for anything else.
std::optional<Ipv6Prefix> parse_ipv6_prefix(std::string_view text);

// A host's suffix as an IPv6 literal ("::21e:c2ff:fe12:3456"), canonical;
// nothing unless it fits behind the shortest LAN prefix and its interface
// identifier (the low 64 bits) is not zero, which no interface has.
std::optional<std::string> parse_suffix(std::string_view text);

// A MAC address (six octets in hex, separated by ':' or '-') as the suffix
// of its modified EUI-64 identifier: ff:fe inserted in the middle, the
// universal/local bit flipped. Nothing for a malformed, all-zero or group
// (multicast) address, which no interface has.
std::optional<std::string> mac_suffix(std::string_view mac);

// Whether the suffix has no bit among the first `length` bits.
bool suffix_fits(const std::string& suffix, int length);

// The prefix with the suffix behind it; nothing when the suffix does not
// fit.
std::optional<std::string> prefixed_address(const Ipv6Prefix& prefix, const std::string& suffix);

} // namespace tovix::server
