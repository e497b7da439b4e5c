// Small, dependency-free pieces of the update protocol: host name and address
// validation, HTTP Basic credentials, and the text formats the server writes.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovix::server {

// Longest host name list accepted in one request.
constexpr std::size_t kMaxHostsPerRequest = 20;

// Equal ignoring ASCII letter case.
bool iequals(std::string_view a, std::string_view b);

// Without leading and trailing blanks and tabs.
std::string_view trim(std::string_view s);

// True for a fully qualified host name: at least two labels, each 1-63
// letters, digits or hyphens, not starting or ending with a hyphen, at most
// 253 characters in all. Expects no trailing dot (see normalize_host).
bool is_fqdn(std::string_view name);

// Lower-cases a host name, trims surrounding blanks and drops one trailing
// dot, so that "Home.Example." and "home.example" name the same record.
std::string normalize_host(std::string_view name);

// Splits on commas; empty input gives an empty list, "a,,b" keeps the empty
// middle entry (it is answered as malformed).
std::vector<std::string> split_list(std::string_view text, char sep = ',');

// The canonical text form of an IPv4 or IPv6 literal, or nothing if `text` is
// not one. IPv4-mapped IPv6 addresses are reported as plain IPv4.
std::optional<std::string> canonical_ip(std::string_view text);

// Strict RFC 4648 base64 (padding required); nothing on any malformed input.
std::optional<std::string> base64_decode(std::string_view text);

// Wiped from memory when they go.
struct Credentials {
    std::string user;
    std::string password;

    Credentials() = default;
    Credentials(std::string u, std::string p) : user(std::move(u)), password(std::move(p)) {}
    Credentials(const Credentials&) = default;
    Credentials& operator=(const Credentials&) = default;
    ~Credentials();
};

// Overwrites the text's bytes with zeros, in a way the compiler keeps.
void wipe(std::string& text);

// Parses an "Authorization: Basic ..." header value.
std::optional<Credentials> parse_basic_auth(std::string_view header);

// Makes a value safe for a one-line, tab-separated log: backslash, tab, CR,
// LF and other control bytes become \\, \t, \r, \n and \xNN.
std::string escape_field(std::string_view text);

// "2024-05-01T12:34:56Z".
std::string format_utc(std::time_t when);

struct Account {
    std::string user;
    std::string password;
    std::vector<std::string> hosts; // normalized
};

// "USER:PASSWORD:HOST[,HOST...]". The user name ends at the first colon and
// the host list starts after the last one, so a password may contain colons.
std::optional<Account> parse_account(std::string_view text, std::string* error);

struct ListenAddress {
    std::string host; // without brackets
    int port = 0;     // 0 picks a free port
};

// A decimal number of digits only, from min to max; nothing otherwise.
std::optional<int> parse_decimal(std::string_view text, int min, int max);

// "127.0.0.1:80", "[::1]:8080", "localhost:8080".
std::optional<ListenAddress> parse_listen(std::string_view text);

} // namespace tovix::server
