/*
 * URL cracking for the host WinInet layer: how InternetOpenUrlW reads the
 * URL its caller gives, and how a redirect target is resolved against the
 * URL that answered with it.
 *
 * A caller's URL is read as written, not as an escaped URI: the user name,
 * password and query may hold characters that a URI would escape. The rule:
 *
 *   scheme "://" [userinfo "@"] host [":" port] [path] ["?" query] ["#" fragment]
 *
 *   - The scheme runs up to the first ':' and must be "http" (any case).
 *   - Let B be the first '/' after "//", or, when there is none, the first
 *     '?' or '#' after it, or the end. The userinfo is everything before the
 *     LAST '@' that lies before B; with no '@' before B there is none. So a
 *     user name or password may hold ':', '@', '?', '#', '&', spaces and any
 *     other character except '/'. A '/' in them ends the authority there,
 *     as it does for the platform's own cracker.
 *   - The user name ends at the first ':' of the userinfo; the rest is the
 *     password, colons included. Neither is percent-decoded.
 *   - Host and port run from after that '@' (or from "//") to the next '/',
 *     '?', '#' or the end. The host is a name of letters, digits, '-', '.',
 *     '_', '~' and non-ASCII characters, or a bracketed IPv6 literal; the
 *     port is decimal, 1 to 65535, and 80 when absent or empty.
 *   - Path and query follow as written; the fragment is dropped. Before they
 *     go on the wire, spaces, control characters, non-ASCII characters
 *     (as UTF-8) and the characters " < > \ ^ ` { | } are percent-encoded;
 *     everything else, '%' included, is kept.
 *
 * A redirect target (a Location header) is an ordinary URI reference and is
 * resolved by libcurl's URL parser, not by this rule.
 */
#ifndef TOVIX_PLATFORM_WININET_URL_H
#define TOVIX_PLATFORM_WININET_URL_H

#include <windows.h>

#include <string>
#include <string_view>

namespace tovix::wininet {

struct CrackedUrl {
    bool hasUserInfo = false;
    std::string user;     // UTF-8, as written
    std::string password; // UTF-8, as written
    std::string host;     // UTF-8; an IPv6 literal keeps its brackets
    unsigned port = 80;
    std::string target; // path and query, percent-encoded for the wire; starts with '/'
};

// Cracks a caller's URL. Returns 0, ERROR_INTERNET_UNRECOGNIZED_SCHEME or
// ERROR_INTERNET_INVALID_URL.
DWORD CrackUrl(std::u16string_view url, CrackedUrl* out);

// Resolves a Location value against the URL that sent it. Returns 0 or
// ERROR_HTTP_REDIRECT_FAILED (unparsable, or not an http URL). User name and
// password come only from the Location value itself (percent-decoded there).
DWORD ResolveRedirect(const CrackedUrl& base, std::string_view location, CrackedUrl* out);

// "http://host[:port]/path?query": what the layer hands to libcurl and
// reports with INTERNET_STATUS_REDIRECT. Never carries the credentials.
std::string WireUrl(const CrackedUrl& url);

// Percent-encodes what must not go on the wire as it stands (see above).
std::string EncodeForWire(std::string_view utf8);

} // namespace tovix::wininet

#endif
