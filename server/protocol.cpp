#include "protocol.h"

#include <sodium.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

namespace tovix::server {

namespace {

bool is_alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

char to_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
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

bool is_fqdn(std::string_view name) {
    if (name.empty() || name.size() > 253)
        return false;
    std::size_t labels = 0;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('.', start);
        if (end == std::string_view::npos)
            end = name.size();
        std::string_view label = name.substr(start, end - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label) {
            if (!is_alnum(c) && c != '-')
                return false;
        }
        ++labels;
        start = end + 1;
    }
    return labels >= 2;
}

std::string normalize_host(std::string_view name) {
    name = trim(name);
    if (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    std::string out(name);
    for (char& c : out)
        c = to_lower(c);
    return out;
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

std::optional<std::string> canonical_ip(std::string_view text) {
    // inet_pton needs a terminated string; anything longer than the longest
    // IPv6 text form is not an address anyway.
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN)
        return std::nullopt;
    std::string s(text);
    char buf[INET6_ADDRSTRLEN];
    in_addr v4{};
    if (inet_pton(AF_INET, s.c_str(), &v4) == 1) {
        if (!inet_ntop(AF_INET, &v4, buf, sizeof buf))
            return std::nullopt;
        return std::string(buf);
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, s.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            std::memcpy(&v4, &v6.s6_addr[12], sizeof v4);
            if (!inet_ntop(AF_INET, &v4, buf, sizeof buf))
                return std::nullopt;
            return std::string(buf);
        }
        if (!inet_ntop(AF_INET6, &v6, buf, sizeof buf))
            return std::nullopt;
        return std::string(buf);
    }
    return std::nullopt;
}

std::optional<std::string> base64_decode(std::string_view text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + static_cast<std::size_t>(k)];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad > 0)
                return std::nullopt; // data after padding
            v[k] = base64_value(c);
            if (v[k] < 0)
                return std::nullopt;
        }
        const unsigned bits = (static_cast<unsigned>(v[0]) << 18) |
                              (static_cast<unsigned>(v[1]) << 12) |
                              (static_cast<unsigned>(v[2]) << 6) | static_cast<unsigned>(v[3]);
        out.push_back(static_cast<char>((bits >> 16) & 0xff));
        if (pad < 2)
            out.push_back(static_cast<char>((bits >> 8) & 0xff));
        if (pad < 1)
            out.push_back(static_cast<char>(bits & 0xff));
    }
    return out;
}

Credentials::~Credentials() {
    wipe(user);
    wipe(password);
}

void wipe(std::string& text) {
    sodium_memzero(text.data(), text.size());
}

std::optional<Credentials> parse_basic_auth(std::string_view header) {
    header = trim(header);
    const std::size_t space = header.find(' ');
    if (space == std::string_view::npos || !iequals(header.substr(0, space), "Basic"))
        return std::nullopt;
    std::optional<std::string> decoded = base64_decode(trim(header.substr(space + 1)));
    if (!decoded)
        return std::nullopt;
    std::optional<Credentials> out;
    const std::size_t colon = decoded->find(':');
    if (colon != std::string::npos)
        out.emplace(decoded->substr(0, colon), decoded->substr(colon + 1));
    wipe(*decoded);
    return out;
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

std::string format_utc(std::time_t when) {
    std::tm tm{};
    gmtime_r(&when, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::optional<Account> parse_account(std::string_view text, std::string* error) {
    const std::size_t first = text.find(':');
    const std::size_t last = text.rfind(':');
    if (first == std::string_view::npos || first == last) {
        *error = "expected USER:PASSWORD:HOST[,HOST...]";
        return std::nullopt;
    }
    Account account;
    account.user = std::string(text.substr(0, first));
    account.password = std::string(text.substr(first + 1, last - first - 1));
    if (account.user.empty()) {
        *error = "empty user name";
        return std::nullopt;
    }
    if (account.password.empty()) {
        *error = "empty password";
        return std::nullopt;
    }
    const std::vector<std::string> hosts = split_list(text.substr(last + 1));
    if (hosts.empty()) {
        *error = "no host name";
        return std::nullopt;
    }
    for (const std::string& raw : hosts) {
        std::string host = normalize_host(raw);
        if (!is_fqdn(host)) {
            *error = "'" + raw + "' is not a fully qualified host name";
            return std::nullopt;
        }
        account.hosts.push_back(std::move(host));
    }
    return account;
}

std::optional<ListenAddress> parse_listen(std::string_view text) {
    std::string_view host;
    std::string_view port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return std::nullopt;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string_view::npos)
            return std::nullopt;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string_view::npos)
            return std::nullopt; // IPv6 needs brackets
    }
    const std::optional<int> value = parse_decimal(port, 0, 65535);
    if (host.empty() || !value)
        return std::nullopt;
    return ListenAddress{std::string(host), *value};
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

} // namespace tovix::server
