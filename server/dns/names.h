// Host names as DNS has them: which are fully qualified, and the one
// spelling (lower case, no trailing dot) every room compares.
#pragma once

#include <string>
#include <string_view>

namespace tovix::server {

// True for a fully qualified host name: at least two labels, each 1-63
// letters, digits or hyphens, not starting or ending with a hyphen, at most
// 253 characters in all. Expects no trailing dot (see normalize_host).
bool is_fqdn(std::string_view name);

// Lower-cases a host name, trims surrounding blanks and drops one trailing
// dot, so that "Home.Example." and "home.example" name the same record.
std::string normalize_host(std::string_view name);

} // namespace tovix::server
