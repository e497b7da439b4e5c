// Update tokens: a random secret per host, handed to one router or one
// client, revocable on its own. A token is 26 characters of [a-z0-9] (134
// bits), short enough for any password field, and is stored as a digest:
// for a random secret that long a fast hash is enough, so checking one
// costs microseconds.
#pragma once

#include <string>
#include <string_view>

namespace tovix::server {

constexpr std::size_t kTokenLength = 26;

std::string make_token();
// Whether `text` could be a token at all (length and alphabet).
bool is_token_form(std::string_view text);
// The stored form: hex BLAKE2b-256.
std::string token_digest(std::string_view token);

} // namespace tovix::server
