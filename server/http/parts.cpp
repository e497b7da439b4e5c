// What the HTTP layer refuses of a request head before the handler sees it
// (a long target or query, an ambiguous body length, a body), the same
// rules over a connection's first raw bytes, and the listening socket.
#include "http/parts.h"

#include "base/address.h"
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

Fields received_headers(MHD_Connection* connection) {
    Fields headers;
    MHD_get_connection_values(
        connection, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) {
            static_cast<Fields*>(cls)->emplace_back(key ? key : "", value ? value : "");
            return MHD_YES;
        },
        &headers);
    return headers;
}

bool is_token(std::string_view name) {
    const std::string_view token_marks = "!#$%&'*+-.^_`|~";
    return !name.empty() && std::all_of(name.begin(), name.end(), [&](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) ||
               token_marks.find(c) != std::string_view::npos;
    });
}

// One request head in raw bytes: its end (past the blank line), or npos
// while it is not all in; its target and header lines. Lines end in LF,
// with or without CR before it, as the library reads them; empty lines
// before the request line are skipped, as the library skips them.
struct RawHead {
    std::size_t end = std::string_view::npos;
    std::string method, target;
    Fields headers;
    bool folded = false; // a header line continues the one before it
    bool no_colon = false;
};

RawHead read_head(std::string_view bytes, std::size_t* pos) {
    RawHead head;
    while (*pos < bytes.size() && (bytes[*pos] == '\r' || bytes[*pos] == '\n'))
        ++*pos;
    std::size_t at = *pos;
    bool first = true;
    while (true) {
        const std::size_t lf = bytes.find('\n', at);
        if (lf == std::string_view::npos)
            return head;
        std::string_view line = bytes.substr(at, lf - at);
        at = lf + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (first) {
            first = false;
            const std::size_t space = line.find(' ');
            head.method = std::string(line.substr(0, space));
            if (space != std::string_view::npos)
                head.target =
                    std::string(line.substr(space + 1, line.find(' ', space + 1) - space - 1));
            continue;
        }
        if (line.empty()) {
            head.end = at;
            return head;
        }
        if (line.front() == ' ' || line.front() == '\t') {
            head.folded = true;
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            head.no_colon = true;
            continue;
        }
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        head.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
    }
}

} // namespace

// A head whose body length a proxy in front and the library could read
// differently is refused: the library takes the first of several
// Content-Length values and ignores "Content-Length : 5" (a name with a
// blank in it), where a proxy may take the last, or trim the name; either
// way the body would run on here as a request of its own. A body is taken
// only when announced with a small Content-Length; updates carry everything
// in the query.
Refusal framing_refusal(const Fields& headers, std::size_t max_body) {
    const std::string* length = nullptr;
    bool lengths = false, encoding = false;
    for (const auto& [name, value] : headers) {
        if (!is_token(name))
            return {MHD_HTTP_BAD_REQUEST, "malformed header"};
        if (iequals(name, MHD_HTTP_HEADER_CONTENT_LENGTH)) {
            lengths = length != nullptr;
            if (lengths)
                break;
            length = &value;
        } else if (iequals(name, MHD_HTTP_HEADER_TRANSFER_ENCODING)) {
            encoding = true;
        }
    }
    if (lengths || (length && encoding))
        return {MHD_HTTP_BAD_REQUEST, "malformed Content-Length"};
    if (encoding)
        return {MHD_HTTP_LENGTH_REQUIRED, "length required"};
    if (!length)
        return {};
    if (length->empty() ||
        !std::all_of(length->begin(), length->end(), [](char c) { return c >= '0' && c <= '9'; }))
        return {MHD_HTTP_BAD_REQUEST, "malformed Content-Length"};
    const std::size_t digits = length->find_first_not_of('0');
    if (digits != std::string::npos &&
        (length->size() - digits > 18 || std::stoull(length->substr(digits)) > max_body))
        return {MHD_HTTP_CONTENT_TOO_LARGE, "request too large"};
    return {};
}

Screening screen_requests(std::string_view bytes, bool ended, std::size_t max_head,
                          std::size_t max_body) {
    using V = Screening::Verdict;
    std::size_t pos = 0, answers = 0;
    for (bool first = true;; first = false) {
        const std::size_t start = pos;
        RawHead head = read_head(bytes, &pos);
        if (head.end == std::string_view::npos) {
            const bool too_long = bytes.size() - start >= max_head;
            if (first && !ended && !too_long)
                return {V::Wait, {}, {}, {}, {}, 0};
            return {V::Pass, {}, {}, {}, {}, answers + (too_long ? 1 : 0)};
        }
        Refusal refusal = head.folded ? Refusal{MHD_HTTP_BAD_REQUEST, "malformed header"}
                                      : framing_refusal(head.headers, max_body);
        if (refusal.status)
            return {V::Refuse,
                    refusal,
                    std::move(head.method),
                    std::move(head.target),
                    std::move(head.headers),
                    0};
        // The library answers a line without a colon by itself, and closes;
        // a head with bad framing as well is refused here first, as the
        // library's answer to that comes twice.
        if (head.no_colon)
            return {V::Pass, {}, {}, {}, {}, answers + 1};
        std::size_t body = 0;
        for (const auto& [name, value] : head.headers) {
            if (iequals(name, MHD_HTTP_HEADER_CONTENT_LENGTH))
                body = std::stoull(value);
        }
        if (body > bytes.size() - head.end)
            return {V::Pass, {}, {}, {}, {}, answers};
        ++answers;
        pos = head.end + body;
        if (pos == bytes.size())
            return {V::Pass, {}, {}, {}, {}, answers};
    }
}

Refusal head_refusal(MHD_Connection* connection, const std::string& target, bool too_many_params,
                     std::size_t max_body) {
    if (target.size() > kMaxTarget)
        return {MHD_HTTP_URI_TOO_LONG, "request target too long"};
    if (too_many_params)
        return {MHD_HTTP_URI_TOO_LONG, "too many query parameters"};
    return framing_refusal(received_headers(connection), max_body);
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

std::string address_text(const sockaddr* sa, int* port) {
    char text[INET6_ADDRSTRLEN] = "";
    *port = 0;
    if (sa && sa->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        *port = ntohs(in->sin_port);
    } else if (sa && sa->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        *port = ntohs(in6->sin6_port);
    }
    return canonical_ip(text).value_or(text);
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
