/* The scripted loopback HTTP server for tests (see loopback_server.h). */
#include "loopback_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace testing_server {

namespace {

constexpr size_t kMaxHead = 64 * 1024;
constexpr size_t kMaxRecorded = 100;
constexpr size_t kMaxWorkers = 64;

// Waits for `events` on fd, or for the stop signal. True when fd is ready.
bool WaitFor(int fd, short events, int stopFd, int timeoutMs) {
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {fd, events, 0}};
    int count = fd >= 0 ? 2 : 1;
    for (;;) {
        int rc = poll(fds, count, timeoutMs);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc <= 0 || (fds[0].revents & POLLIN)) {
            return false;
        }
        return count == 2 && fds[1].revents != 0;
    }
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string ChallengeResponse() {
    return HttpResponse(401, "Unauthorized", "badauth",
                        "WWW-Authenticate: Basic realm=\"tovix\"\r\n");
}

} // namespace

Connection::~Connection() {
    Close();
}

bool Connection::ReadRequest(std::string* head) {
    for (;;) {
        size_t end = pending_.find("\r\n\r\n");
        if (end != std::string::npos) {
            std::string request = pending_.substr(0, end + 4);
            pending_.erase(0, end + 4);
            server_.Record(request);
            if (head) {
                *head = request;
            }
            return true;
        }
        if (fd_ < 0 || pending_.size() > kMaxHead || !WaitFor(fd_, POLLIN, server_.stopFd(), -1)) {
            return false;
        }
        char buffer[4096];
        ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            return false;
        }
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

bool Connection::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        if (fd_ < 0 || !WaitFor(fd_, POLLOUT, server_.stopFd(), -1)) {
            return false;
        }
        ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool Connection::Drip(std::string_view bytes, int intervalMs) {
    for (char c : bytes) {
        if (!Send(std::string_view(&c, 1)) || !Wait(intervalMs)) {
            return false;
        }
    }
    return true;
}

bool Connection::Wait(int ms) {
    pollfd stop = {server_.stopFd(), POLLIN, 0};
    return poll(&stop, 1, ms) == 0;
}

void Connection::WaitForClose() {
    char buffer[4096];
    while (fd_ >= 0 && WaitFor(fd_, POLLIN, server_.stopFd(), -1)) {
        if (recv(fd_, buffer, sizeof(buffer), 0) <= 0) {
            return;
        }
    }
}

void Connection::Reset() {
    if (fd_ >= 0) {
        linger option = {1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof(option));
        Close();
    }
}

void Connection::Close() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

LoopbackServer::LoopbackServer(Behaviour behaviour, uint16_t port)
    : behaviour_(std::move(behaviour)) {
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (stopFd_ < 0 || fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return;
    }
    listenFd_ = fd;
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
    if (stopFd_ >= 0) {
        uint64_t one = 1;
        ssize_t ignored = write(stopFd_, &one, sizeof(one));
        (void)ignored;
    }
    if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workers.swap(workers_);
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
    }
    if (stopFd_ >= 0) {
        close(stopFd_);
    }
}

void LoopbackServer::AcceptLoop() {
    while (WaitFor(listenFd_, POLLIN, stopFd_, -1)) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (workers_.size() >= kMaxWorkers) {
            close(fd);
            continue;
        }
        connections_.fetch_add(1);
        workers_.emplace_back([this, fd] {
            Connection connection(*this, fd);
            behaviour_(connection);
        });
    }
}

std::string LoopbackServer::Url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void LoopbackServer::Record(const std::string& head) {
    {
        std::lock_guard<std::mutex> lock(requestsMutex_);
        if (requests_.size() < kMaxRecorded) {
            requests_.push_back(head.substr(0, kMaxHead));
        }
    }
    requestsChanged_.notify_all();
}

std::vector<std::string> LoopbackServer::Requests() const {
    std::lock_guard<std::mutex> lock(requestsMutex_);
    return requests_;
}

bool LoopbackServer::WaitForRequests(size_t count, int ms) const {
    std::unique_lock<std::mutex> lock(requestsMutex_);
    return requestsChanged_.wait_for(lock, std::chrono::milliseconds(ms),
                                     [&] { return requests_.size() >= count; });
}

std::string HttpResponse(int status, std::string_view reason, std::string_view body,
                         std::string_view extraHeaders) {
    return "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) +
           "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n" + std::string(extraHeaders) + "\r\n" + std::string(body);
}

std::string ChunkedResponse(int status, std::string_view reason, std::string_view body,
                            std::string_view extraHeaders, size_t chunk) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) +
                      "\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n" +
                      std::string(extraHeaders) + "\r\n";
    for (size_t at = 0; at < body.size(); at += chunk) {
        std::string_view piece = body.substr(at, chunk);
        char size[16];
        snprintf(size, sizeof(size), "%zx\r\n", piece.size());
        out += size + std::string(piece) + "\r\n";
    }
    return out + "0\r\n\r\n";
}

Behaviour Reply(std::string bytes) {
    return [bytes](Connection& c) {
        while (c.ReadRequest() && c.Send(bytes)) {
        }
    };
}

namespace {

Behaviour Challenge(std::string bytes, bool closeAfter) {
    return [bytes, closeAfter](Connection& c) {
        std::string head;
        while (c.ReadRequest(&head)) {
            bool authorized = false;
            HeaderValue(head, "Authorization", &authorized);
            if (!c.Send(authorized ? bytes : ChallengeResponse())) {
                return;
            }
            if (authorized && closeAfter) {
                c.Close();
                return;
            }
        }
    };
}

} // namespace

Behaviour ChallengeThenReply(std::string bytes) {
    return Challenge(std::move(bytes), false);
}

Behaviour ChallengeThenReplyAndClose(std::string bytes) {
    return Challenge(std::move(bytes), true);
}

Behaviour NeverAnswer() {
    return [](Connection& c) {
        if (c.ReadRequest()) {
            c.WaitForClose();
        }
    };
}

Behaviour StopMidHeaders() {
    return [](Connection& c) {
        if (c.ReadRequest() && c.Send("HTTP/1.1 200 OK\r\nContent-Type: text/pl")) {
            c.WaitForClose();
        }
    };
}

Behaviour Drip(std::string bytes, int intervalMs) {
    return [bytes, intervalMs](Connection& c) {
        if (c.ReadRequest() && c.Drip(bytes, intervalMs)) {
            c.WaitForClose();
        }
    };
}

Behaviour EndlessBody() {
    return [](Connection& c) {
        if (!c.ReadRequest() ||
            !c.Send("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n")) {
            return;
        }
        std::string chunk(64 * 1024, 'x');
        while (c.Send(chunk)) {
        }
    };
}

Behaviour EndlessHeaders() {
    return [](Connection& c) {
        if (!c.ReadRequest() || !c.Send("HTTP/1.1 200 OK\r\n")) {
            return;
        }
        std::string filler(100, 'a');
        for (unsigned i = 0; c.Send("X-Filler-" + std::to_string(i) + ": " + filler + "\r\n");
             ++i) {
        }
    };
}

Behaviour ResetAfterRequest() {
    return [](Connection& c) {
        if (c.ReadRequest()) {
            c.Reset();
        }
    };
}

Behaviour CloseAfterRequest() {
    return [](Connection& c) {
        if (c.ReadRequest()) {
            c.Close();
        }
    };
}

Behaviour Garbage() {
    return [](Connection& c) {
        if (c.ReadRequest()) {
            c.Send("\x01\x02 nothing like HTTP here \xff\xfe\r\n\r\nmore noise");
        }
    };
}

Behaviour RedirectLoop() {
    return [](Connection& c) {
        std::string redirect = HttpResponse(302, "Found", "", "Location: /loop\r\n");
        while (c.ReadRequest() && c.Send(redirect)) {
        }
    };
}

Behaviour EndlessChallenge() {
    return [](Connection& c) {
        while (c.ReadRequest() && c.Send(ChallengeResponse())) {
        }
    };
}

Behaviour ByPath(std::vector<std::pair<std::string, std::string>> routes) {
    return [routes](Connection& c) {
        std::string head;
        while (c.ReadRequest(&head)) {
            std::string target = RequestTarget(head);
            std::string reply = HttpResponse(404, "Not Found", "nohost");
            for (const auto& route : routes) {
                if (target.compare(0, route.first.size(), route.first) == 0) {
                    reply = route.second;
                    break;
                }
            }
            if (!c.Send(reply)) {
                return;
            }
        }
    };
}

std::string RequestMethod(const std::string& head) {
    return head.substr(0, head.find(' '));
}

std::string RequestTarget(const std::string& head) {
    size_t start = head.find(' ');
    if (start == std::string::npos) {
        return "";
    }
    size_t end = head.find(' ', start + 1);
    return head.substr(start + 1, end == std::string::npos ? end : end - start - 1);
}

std::string HeaderValue(const std::string& head, std::string_view name, bool* found) {
    std::string wanted = Lower(name) + ":";
    size_t line = head.find("\r\n");
    while (line != std::string::npos && line + 2 < head.size()) {
        size_t start = line + 2;
        size_t end = head.find("\r\n", start);
        if (end == std::string::npos) {
            end = head.size();
        }
        if (Lower(std::string_view(head).substr(start, wanted.size())) == wanted) {
            std::string value = head.substr(start + wanted.size(), end - start - wanted.size());
            value.erase(0, value.find_first_not_of(' '));
            if (found) {
                *found = true;
            }
            return value;
        }
        line = end;
    }
    if (found) {
        *found = false;
    }
    return "";
}

std::string DecodeBasic(const std::string& authorization) {
    if (Lower(authorization.substr(0, 6)) != "basic ") {
        return "";
    }
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned value = 0;
    int bits = 0;
    for (char c : authorization.substr(6)) {
        size_t digit = alphabet.find(c);
        if (digit == std::string::npos) {
            break; // '=' padding or the end
        }
        value = (value << 6) | static_cast<unsigned>(digit);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((value >> bits) & 0xFF));
        }
    }
    return out;
}

} // namespace testing_server
