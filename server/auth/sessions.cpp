// Session ids, their cookies and their CSRF tokens, through libsodium.
#include "auth/sessions.h"

#include <sodium.h>

#include <algorithm>

namespace tovix::server {

namespace {

std::string hex(const unsigned char* bytes, std::size_t size) {
    std::string out(size * 2 + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), bytes, size);
    out.pop_back();
    return out;
}

} // namespace

std::string session_cookie_name(bool https) {
    return https ? "__Host-tovix_session" : "tovix_session";
}

std::string session_cookie(bool https, const std::string& value, bool clear) {
    return session_cookie_name(https) + "=" + value + "; Path=/; HttpOnly; SameSite=Strict" +
           (https ? "; Secure" : "") + (clear ? "; Max-Age=0" : "");
}

std::string new_session_id() {
    unsigned char bytes[32];
    randombytes_buf(bytes, sizeof bytes);
    return hex(bytes, sizeof bytes);
}

// Each session's CSRF token: a keyed hash of its id, so nothing more is
// stored and no other session's token fits.
std::string csrf_token(const std::string& session_id) {
    unsigned char out[32];
    static const char kWhat[] = "tovix web form";
    crypto_generichash(out, sizeof out, reinterpret_cast<const unsigned char*>(kWhat),
                       sizeof kWhat - 1, reinterpret_cast<const unsigned char*>(session_id.data()),
                       std::min<std::size_t>(session_id.size(), crypto_generichash_KEYBYTES_MAX));
    return hex(out, sizeof out);
}

bool same_secret(const std::string& a, const std::string& b) {
    return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace tovix::server
