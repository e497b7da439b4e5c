// HTTP Basic credentials: the header decoded, and the secrets wiped from
// memory once used.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tovix::server {

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

} // namespace tovix::server
