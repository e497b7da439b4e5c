// What the HTTP layer refuses of a request head before the handler sees it
// (a long target or query, an ambiguous body length, a body), and the
// listening socket it hands libmicrohttpd.
#include "http/parts.h"

#include "base/strings.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace tovix::server {

namespace {

// The longest request target the handler sees; a longer one is refused with
// 414 here (the library's own 414, for a request line longer than the
// connection's memory, reaches no callback and so no log).
constexpr std::size_t kMaxTarget = 4096;

// The most query parameters a target may have, far more than any request
// here uses. The library keeps a record of each parameter in the
// connection's memory; when that runs out while it splits the query, 0.9.75
// queues its 431 but then goes on waiting for headers it has thrown away,
// and the client hears nothing until the head deadline cuts it. So a target
// with more is refused here before the library splits it.
constexpr std::size_t kMaxParams = 64;

// A header line the request's length could be read from differently, by a
// proxy in front and by the library. The library takes the first of several
// Content-Length values, and files "Content-Length : 5" under a name with a
// blank in it, so ignores it; a proxy may take the last, or trim the name.
// Either way the body would run on here as a request of its own.
bool ambiguous_framing(MHD_Connection* connection) {
    Fields headers;
    MHD_get_connection_values(
        connection, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) {
            static_cast<Fields*>(cls)->emplace_back(key ? key : "", value ? value : "");
            return MHD_YES;
        },
        &headers);
    const std::string_view token_marks = "!#$%&'*+-.^_`|~";
    std::optional<std::string> length;
    for (const auto& [name, value] : headers) {
        const bool token = !name.empty() && std::all_of(name.begin(), name.end(), [&](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) ||
                   token_marks.find(c) != std::string_view::npos;
        });
        if (!token)
            return true;
        if (iequals(name, MHD_HTTP_HEADER_CONTENT_LENGTH)) {
            if (length && *length != value)
                return true;
            length = value;
        }
    }
    return false;
}

// A body is taken only when announced with a small Content-Length; updates
// carry everything in the query.
Refusal body_refusal(MHD_Connection* connection, std::size_t max_body) {
    const char* encoding =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING);
    if (encoding)
        return {MHD_HTTP_LENGTH_REQUIRED, "length required"};
    const char* length =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (!length)
        return {};
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(length, &end, 10);
    if (errno || end == length || *end != '\0' || value > max_body)
        return {MHD_HTTP_CONTENT_TOO_LARGE, "request too large"};
    return {};
}

} // namespace

Refusal head_refusal(MHD_Connection* connection, const std::string& target, bool too_many_params,
                     std::size_t max_body) {
    if (target.size() > kMaxTarget)
        return {MHD_HTTP_URI_TOO_LONG, "request target too long"};
    if (too_many_params)
        return {MHD_HTTP_URI_TOO_LONG, "too many query parameters"};
    if (ambiguous_framing(connection))
        return {MHD_HTTP_BAD_REQUEST, "malformed header"};
    return body_refusal(connection, max_body);
}

bool cut_long_query(char* uri) {
    char* query = std::strchr(uri, '?');
    if (!query)
        return false;
    std::size_t params = 1;
    for (const char* at = query; (at = std::strchr(at + 1, '&')) != nullptr;)
        ++params;
    if (params <= kMaxParams)
        return false;
    query[1] = '\0';
    return true;
}

int open_listener(const Endpoint& endpoint, int* port, int* family, std::string* error) {
    sockaddr_storage address{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, endpoint.host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(endpoint.port));
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, endpoint.host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(endpoint.port));
        length = sizeof *v6;
    } else {
        *error = "'" + endpoint.host + "' is not a numeric IPv4 or IPv6 address";
        return -1;
    }
    *family = address.ss_family;
    int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::strerror(errno);
        return -1;
    }
    int yes = 1;
    // A restart may reuse a port in TIME_WAIT; a second server on a busy
    // port must still fail.
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (address.ss_family == AF_INET6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 1024) != 0) {
        *error = std::strerror(errno);
        close(fd);
        return -1;
    }
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    return fd;
}

} // namespace tovix::server
