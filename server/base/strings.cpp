// Small text functions: ASCII case, blanks, comma lists, numbers, URL
// decoding, escaping for the one-line log fields, UTC time stamps.
#include "base/strings.h"

#include <cctype>
#include <cstdio>

namespace tovix::server {

namespace {

char to_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (to_lower(a[i]) != to_lower(b[i]))
            return false;
    }
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

std::vector<std::string> split_list(std::string_view text, char sep) {
    std::vector<std::string> out;
    if (text.empty())
        return out;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find(sep, start);
        if (end == std::string_view::npos) {
            out.emplace_back(text.substr(start));
            return out;
        }
        out.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::string escape_field(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (u < 0x20 || u == 0x7f) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02x", u);
                out += buf;
            } else {
                out.push_back(c);
            }
        }
    }
    return out;
}

namespace {

// The length of the well-formed UTF-8 sequence at text[i] (RFC 3629's
// table), 0 when there is none.
std::size_t utf8_length(std::string_view text, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned char b = at(0);
    if (b >= 0x01 && b <= 0x7f)
        return 1;
    std::size_t n = 0;
    unsigned char low = 0x80, high = 0xbf; // the second byte's range
    if (b >= 0xc2 && b <= 0xdf)
        n = 2;
    else if (b >= 0xe0 && b <= 0xef) {
        n = 3;
        low = b == 0xe0 ? 0xa0 : 0x80;
        high = b == 0xed ? 0x9f : 0xbf;
    } else if (b >= 0xf0 && b <= 0xf4) {
        n = 4;
        low = b == 0xf0 ? 0x90 : 0x80;
        high = b == 0xf4 ? 0x8f : 0xbf;
    } else
        return 0;
    if (i + n > text.size() || at(1) < low || at(1) > high)
        return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (at(k) < 0x80 || at(k) > 0xbf)
            return 0;
    return n;
}

} // namespace

std::string utf8_prefix(std::string_view text, std::size_t max_bytes) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = utf8_length(text, i);
        const std::size_t step = n ? n : 1;
        if (out.size() + step > max_bytes)
            break;
        if (n)
            out.append(text.substr(i, n));
        else
            out += '?';
        i += step;
    }
    return out;
}

std::string log_field(std::string_view text) {
    std::string out = escape_field(text.substr(0, kMaxLoggedField));
    if (out.size() <= kMaxLoggedField)
        return out;
    std::size_t cut = 0;
    for (std::size_t i = 0; i < kMaxLoggedField;) {
        const std::size_t step = out[i] != '\\' ? 1 : out[i + 1] == 'x' ? 4 : 2;
        if (i + step > kMaxLoggedField)
            break;
        i += step;
        cut = i;
    }
    out.resize(cut);
    return out;
}

std::string format_utc(std::time_t when) {
    std::tm tm{};
    gmtime_r(&when, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::optional<int> parse_decimal(std::string_view text, int min, int max) {
    if (text.empty() || text.size() > 9)
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < min || value > max)
        return std::nullopt;
    return value;
}

std::string url_decode(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace tovix::server
