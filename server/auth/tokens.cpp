#include "auth/tokens.h"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>

namespace tovix::server {

namespace {

constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";

} // namespace

std::string make_token() {
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot start");
    std::string token(kTokenLength, ' ');
    for (char& c : token)
        c = kAlphabet[randombytes_uniform(sizeof kAlphabet - 1)];
    return token;
}

bool is_token_form(std::string_view text) {
    return text.size() == kTokenLength && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
           });
}

std::string token_digest(std::string_view token) {
    unsigned char digest[32];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(token.data()),
                       token.size(), nullptr, 0);
    char hex[2 * sizeof digest + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}

} // namespace tovix::server
