// Address text through inet_pton and inet_ntop.
#include "base/address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace tovix::server {

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

bool is_loopback(const std::string& address) {
    unsigned char bytes[16];
    if (inet_pton(AF_INET, address.c_str(), bytes) == 1)
        return bytes[0] == 127;
    in6_addr v6{};
    return inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

std::string source_key(std::string_view address) {
    std::string text(address);
    unsigned char bytes[16];
    if (inet_pton(AF_INET6, text.c_str(), bytes) == 1) {
        std::memset(bytes + 8, 0, 8);
        char out[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, bytes, out, sizeof out);
        return std::string(out) + "/64";
    }
    return text;
}

} // namespace tovix::server
