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

// The key a session's sealed texts are under.
void seal_key(const std::string& session_id, unsigned char key[crypto_secretbox_KEYBYTES]) {
    static const char kWhat[] = "tovix sealed for a session";
    crypto_generichash(key, crypto_secretbox_KEYBYTES,
                       reinterpret_cast<const unsigned char*>(kWhat), sizeof kWhat - 1,
                       reinterpret_cast<const unsigned char*>(session_id.data()),
                       std::min<std::size_t>(session_id.size(), crypto_generichash_KEYBYTES_MAX));
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

std::string seal_for_session(const std::string& session_id, const std::string& text) {
    unsigned char key[crypto_secretbox_KEYBYTES];
    seal_key(session_id, key);
    std::string box(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES + text.size(), '\0');
    auto* bytes = reinterpret_cast<unsigned char*>(box.data());
    randombytes_buf(bytes, crypto_secretbox_NONCEBYTES);
    crypto_secretbox_easy(bytes + crypto_secretbox_NONCEBYTES,
                          reinterpret_cast<const unsigned char*>(text.data()), text.size(), bytes,
                          key);
    sodium_memzero(key, sizeof key);
    return hex(bytes, box.size());
}

std::optional<std::string> open_for_session(const std::string& session_id,
                                            const std::string& sealed) {
    std::string box(sealed.size() / 2, '\0');
    std::size_t size = 0;
    if (sealed.size() > 2048 ||
        sodium_hex2bin(reinterpret_cast<unsigned char*>(box.data()), box.size(), sealed.data(),
                       sealed.size(), nullptr, &size, nullptr) != 0 ||
        size != box.size() || size < crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES)
        return std::nullopt;
    const auto* bytes = reinterpret_cast<const unsigned char*>(box.data());
    unsigned char key[crypto_secretbox_KEYBYTES];
    seal_key(session_id, key);
    std::string text(size - crypto_secretbox_NONCEBYTES - crypto_secretbox_MACBYTES, '\0');
    const int opened = crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(text.data()),
                                                  bytes + crypto_secretbox_NONCEBYTES,
                                                  size - crypto_secretbox_NONCEBYTES, bytes, key);
    sodium_memzero(key, sizeof key);
    if (opened != 0)
        return std::nullopt;
    return text;
}

} // namespace tovix::server
