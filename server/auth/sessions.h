// The web page's sessions as the browser holds them: a random id in a
// cookie (the store keeps only its digest, see Authenticator::session),
// and each session's CSRF token.
#pragma once

#include <optional>
#include <string>

namespace tovix::server {

// The cookie that carries the session id: __Host- and Secure over HTTPS.
std::string session_cookie_name(bool https);
// Its Set-Cookie value; `clear` ends it in the browser.
std::string session_cookie(bool https, const std::string& value, bool clear);

// 64 hex characters of 32 random bytes.
std::string new_session_id();
inline constexpr std::size_t kSessionIdLength = 64;

// Each session's CSRF token: a keyed hash of its id, so nothing more is
// stored and no other session's token fits.
std::string csrf_token(const std::string& session_id);

// Text only this session can read back: sealed (XSalsa20-Poly1305) under a
// key hashed from the session id, as hex. A page carries a secret through
// a redirect this way in a short-lived cookie (a new token, shown once on
// the page the redirect leads to), on whichever server answers it.
std::string seal_for_session(const std::string& session_id, const std::string& text);
// The text, or nothing when `sealed` is not this session's or was changed.
std::optional<std::string> open_for_session(const std::string& session_id,
                                            const std::string& sealed);

// Compares two secrets in time that does not depend on where they differ.
bool same_secret(const std::string& a, const std::string& b);

} // namespace tovix::server
