// The web page's sessions as the browser holds them: a random id in a
// cookie (the store keeps only its digest, see Authenticator::session),
// and each session's CSRF token.
#pragma once

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

// Compares two secrets in time that does not depend on where they differ.
bool same_secret(const std::string& a, const std::string& b);

} // namespace tovix::server
