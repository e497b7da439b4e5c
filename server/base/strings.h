// Text helpers of the server: comparing and trimming, splitting lists,
// numbers and URL-encoded text, one log field per value, and the UTC time
// stamps of listings and logs.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovix::server {

// Equal ignoring ASCII letter case.
bool iequals(std::string_view a, std::string_view b);

// Without leading and trailing blanks and tabs.
std::string_view trim(std::string_view s);

// Splits on commas; empty input gives an empty list, "a,,b" keeps the empty
// middle entry (it is answered as malformed).
std::vector<std::string> split_list(std::string_view text, char sep = ',');

// A decimal number of digits only, from min to max; nothing otherwise.
std::optional<int> parse_decimal(std::string_view text, int min, int max);

// application/x-www-form-urlencoded text decoded: %XX is the byte, '+' a
// space; a '%' without two hex digits stays as it is.
std::string url_decode(std::string_view text);

// Makes a value safe for a one-line, tab-separated log: backslash, tab, CR,
// LF and other control bytes become \\, \t, \r, \n and \xNN.
std::string escape_field(std::string_view text);

// A value as a log line holds it: escaped, then cut to kMaxLoggedField
// bytes (never inside an escape), whoever sent it.
std::string log_field(std::string_view text);
inline constexpr std::size_t kMaxLoggedField = 256;

// At most `max_bytes` of text as valid UTF-8 without NUL, for a column of
// the database: each byte of a malformed sequence (overlong, a surrogate,
// past U+10FFFF, cut short) and each NUL becomes '?', and the cut never
// splits a character. PostgreSQL refuses the whole statement for one such
// byte, and a request's headers may hold any.
std::string utf8_prefix(std::string_view text, std::size_t max_bytes);

// "2024-05-01T12:34:56Z".
std::string format_utc(std::time_t when);

} // namespace tovix::server
