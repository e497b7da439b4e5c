// HTTP Basic: strict base64 (a malformed header is no credential at all),
// the name and password split at the first colon, and every buffer that held
// the password wiped once it is no longer needed.
#include "auth/credentials.h"

#include "base/strings.h"

#include <sodium.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

namespace tovix::server {

namespace {

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

} // namespace tovix::server
