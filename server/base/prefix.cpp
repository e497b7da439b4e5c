// IPv6 prefixes and suffixes as sixteen bytes, through inet_pton and
// inet_ntop.
#include "base/prefix.h"

#include "base/strings.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <array>

namespace tovix::server {

namespace {

using Bytes = std::array<unsigned char, 16>;

std::optional<Bytes> bytes_of(std::string_view text) {
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN)
        return std::nullopt;
    const std::string s(text);
    Bytes out{};
    if (inet_pton(AF_INET6, s.c_str(), out.data()) != 1)
        return std::nullopt;
    return out;
}

std::string text_of(const Bytes& bytes) {
    char buf[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, bytes.data(), buf, sizeof buf);
    return buf;
}

// The mask of bit `i` (0: the first) in its byte.
unsigned char bit(int i) {
    return static_cast<unsigned char>(0x80u >> (i % 8));
}

bool fits(const Bytes& suffix, int length) {
    for (int i = 0; i < length; ++i) {
        if (suffix[static_cast<std::size_t>(i / 8)] & bit(i))
            return false;
    }
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::optional<Ipv6Prefix> parse_ipv6_prefix(std::string_view text) {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    std::optional<Bytes> network = bytes_of(text.substr(0, slash));
    const std::optional<int> length = parse_decimal(text.substr(slash + 1), 0, 128);
    if (!network || !length)
        return std::nullopt;
    for (int i = *length; i < 128; ++i)
        (*network)[static_cast<std::size_t>(i / 8)] &= static_cast<unsigned char>(~bit(i));
    return Ipv6Prefix{text_of(*network), *length};
}

std::optional<std::string> parse_suffix(std::string_view text) {
    const std::optional<Bytes> suffix = bytes_of(text);
    if (!suffix || !fits(*suffix, kShortestLanPrefix))
        return std::nullopt;
    bool identifier = false;
    for (std::size_t i = 8; i < 16; ++i)
        identifier = identifier || (*suffix)[i] != 0;
    return identifier ? std::optional(text_of(*suffix)) : std::nullopt;
}

std::optional<std::string> mac_suffix(std::string_view mac) {
    if (mac.size() != 17)
        return std::nullopt;
    const char separator = mac[2];
    if (separator != ':' && separator != '-')
        return std::nullopt;
    unsigned char octets[6];
    bool any = false;
    for (std::size_t i = 0; i < 6; ++i) {
        const int high = hex_digit(mac[i * 3]), low = hex_digit(mac[i * 3 + 1]);
        if (high < 0 || low < 0 || (i < 5 && mac[i * 3 + 2] != separator))
            return std::nullopt;
        octets[i] = static_cast<unsigned char>(high * 16 + low);
        any = any || octets[i] != 0;
    }
    if (!any || (octets[0] & 0x01))
        return std::nullopt;
    Bytes suffix{};
    const unsigned char identifier[8] = {static_cast<unsigned char>(octets[0] ^ 0x02),
                                         octets[1],
                                         octets[2],
                                         0xff,
                                         0xfe,
                                         octets[3],
                                         octets[4],
                                         octets[5]};
    for (std::size_t i = 0; i < 8; ++i)
        suffix[8 + i] = identifier[i];
    return text_of(suffix);
}

bool suffix_fits(const std::string& suffix, int length) {
    const std::optional<Bytes> bytes = bytes_of(suffix);
    return bytes && fits(*bytes, length);
}

std::optional<std::string> prefixed_address(const Ipv6Prefix& prefix, const std::string& suffix) {
    std::optional<Bytes> address = bytes_of(prefix.network);
    const std::optional<Bytes> tail = bytes_of(suffix);
    if (!address || !tail || !fits(*tail, prefix.length))
        return std::nullopt;
    for (std::size_t i = 0; i < 16; ++i)
        (*address)[i] |= (*tail)[i];
    return text_of(*address);
}

} // namespace tovix::server
