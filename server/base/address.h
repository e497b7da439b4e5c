// Addresses as text: the canonical form of an IP literal, whether it is a
// loopback address, and the key under which a source is counted.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tovix::server {

// The canonical text form of an IPv4 or IPv6 literal, or nothing if `text` is
// not one. IPv4-mapped IPv6 addresses are reported as plain IPv4.
std::optional<std::string> canonical_ip(std::string_view text);

// Whether a numeric address is a loopback one (127.0.0.0/8, ::1).
bool is_loopback(const std::string& address);

// The key under which a source is counted: the address for IPv4, the /64
// for IPv6 (one subscriber usually has a whole /64).
std::string source_key(std::string_view address);

} // namespace tovix::server
