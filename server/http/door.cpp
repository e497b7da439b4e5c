// The doorman: one thread and an epoll set per plain-HTTP listener. It
// reads nothing: it peeks (MSG_PEEK) at what a connection has sent, so the
// library, handed the connection, reads it all from the start. A held
// connection counts against its source's share as the library's do, and
// is cut at the head deadline as the library's are by the sweep.
#include "http/door.h"

#include "http/parts.h"
#include "base/metrics.h"
#include "base/strings.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tovix::server {

namespace {

// How much of a connection's first bytes is screened: the heads of the
// requests it sent at once, as far as they fit.
constexpr std::size_t kLookAhead = 64 * 1024;

std::string answer_text(const HttpResponse& response) {
    const char* reason = MHD_get_reason_phrase_for(static_cast<unsigned>(response.status));
    std::string text =
        "HTTP/1.1 " + std::to_string(response.status) + " " + (reason ? reason : "") + "\r\n";
    bool typed = false;
    for (const auto& [name, value] : response.headers) {
        text += name + ": " + value + "\r\n";
        typed = typed || iequals(name, "Content-Type");
    }
    if (!typed)
        text += "Content-Type: text/plain\r\n";
    return text + "Connection: close\r\nContent-Length: " + std::to_string(response.body.size()) +
           "\r\n\r\n" + response.body;
}

// What the page makes of a refused head, or the plain answer.
HttpResponse refusal_answer(const HttpServer::RefusalPage& page, const Screening& s,
                            const std::string& peer, int port) {
    if (page) {
        HttpRequest head;
        head.method = s.method;
        head.target = s.target;
        head.path = s.target.substr(0, s.target.find('?'));
        head.headers = s.headers;
        head.peer = peer;
        head.peer_port = port;
        if (std::optional<HttpResponse> styled = page(head, s.refusal.status))
            return std::move(*styled);
    }
    return {s.refusal.status, s.refusal.text, {}};
}

} // namespace

Doorman::Doorman(int listen_fd, MHD_Daemon* mhd, const HttpLimits& limits, SourceCounts& sources,
                 Refused refused, Ended ended, HttpServer::RefusalPage page)
    : listen_fd_(listen_fd), mhd_(mhd), limits_(limits), sources_(sources),
      refused_(std::move(refused)), ended_(std::move(ended)), page_(std::move(page)),
      buffer_(kLookAhead) {
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wake_fd_;
    epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &ev);
    if (listen_fd_ >= 0) {
        // Accepted until there is none left, never waited for.
        fcntl(listen_fd_, F_SETFL, fcntl(listen_fd_, F_GETFL) | O_NONBLOCK);
        ev.data.fd = listen_fd_;
        epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listen_fd_, &ev);
    }
    thread_ = std::thread([this] { run(); });
}

Doorman::~Doorman() {
    stop();
}

void Doorman::stop() {
    {
        std::lock_guard<std::mutex> lock(inbox_mutex_);
        if (stopping_)
            return;
        stopping_ = true;
    }
    const std::uint64_t one = 1;
    if (write(wake_fd_, &one, sizeof one) < 0) {
        // The thread still sees stopping_ at its next wake-up (250 ms).
    }
    thread_.join();
    for (auto& [fd, held] : held_) {
        sources_.release(held.source);
        close(fd);
    }
    held_.clear();
    {
        std::lock_guard<std::mutex> lock(inbox_mutex_);
        for (auto& [fd, held] : inbox_)
            close(fd);
        inbox_.clear();
    }
    if (listen_fd_ >= 0)
        close(listen_fd_);
    close(wake_fd_);
    close(epoll_fd_);
}

void Doorman::adopt(int fd, const sockaddr* peer, socklen_t length) {
    Held held;
    std::memcpy(&held.peer, peer, std::min<std::size_t>(length, sizeof held.peer));
    held.length = length;
    {
        std::lock_guard<std::mutex> lock(inbox_mutex_);
        if (stopping_) {
            close(fd);
            return;
        }
        inbox_.emplace_back(fd, held);
    }
    const std::uint64_t one = 1;
    if (write(wake_fd_, &one, sizeof one) < 0) {
        // Taken at the next wake-up.
    }
}

void Doorman::run() {
    epoll_event events[64];
    auto swept = std::chrono::steady_clock::now();
    while (!stopping_) {
        const int n = epoll_wait(epoll_fd_, events, 64, 250);
        for (int i = 0; i < n && !stopping_; ++i) {
            const int fd = events[i].data.fd;
            if (fd == wake_fd_) {
                std::uint64_t count;
                while (read(wake_fd_, &count, sizeof count) > 0) {
                }
                std::vector<std::pair<int, Held>> adopted;
                {
                    std::lock_guard<std::mutex> lock(inbox_mutex_);
                    adopted.swap(inbox_);
                }
                for (auto& [client, held] : adopted)
                    take(client, reinterpret_cast<const sockaddr*>(&held.peer), held.length);
            } else if (fd == listen_fd_) {
                for (int k = 0; k < 64; ++k) {
                    sockaddr_storage peer{};
                    socklen_t length = sizeof peer;
                    const int client = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer),
                                               &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (client < 0)
                        break;
                    take(client, reinterpret_cast<sockaddr*>(&peer), length);
                }
            } else {
                auto found = held_.find(fd);
                if (found == held_.end())
                    continue;
                if (events[i].events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))
                    found->second.ended = true;
                look(fd);
            }
        }
        if (std::chrono::steady_clock::now() - swept >= std::chrono::milliseconds(250)) {
            swept = std::chrono::steady_clock::now();
            sweep();
        }
    }
}

// A new connection: held, if its source has room and the doorman has.
void Doorman::take(int fd, const sockaddr* peer, socklen_t length) {
    Held held;
    std::memcpy(&held.peer, peer, std::min<std::size_t>(length, sizeof held.peer));
    held.length = length;
    held.address = address_text(peer, &held.port);
    if (held_.size() >= limits_.connections) {
        metrics().refused(Metrics::kTooManyConnections);
        close(fd);
        return;
    }
    if (!sources_.admits(held.address)) {
        metrics().refused(Metrics::kPerSource);
        close(fd);
        return;
    }
    held.source = sources_.add(held.address);
    held.since = std::chrono::steady_clock::now();
    held_.emplace(fd, std::move(held));
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    ev.data.fd = fd;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0)
        return drop(fd);
    look(fd);
}

// Looks at what the connection has sent: waits for more, refuses it, or
// hands it over.
void Doorman::look(int fd) {
    Held& held = held_.at(fd);
    const ssize_t n = recv(fd, buffer_.data(), buffer_.size(), MSG_PEEK | MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        return drop(fd); // gone before it said anything
    if (n < 0)
        return;
    if (!held.ended) {
        // Its close may have come in with the bytes, before the event says so.
        pollfd p{fd, POLLRDHUP, 0};
        held.ended = poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
    }
    const std::string_view bytes(buffer_.data(), static_cast<std::size_t>(n));
    const Screening s =
        screen_requests(bytes, held.ended || static_cast<std::size_t>(n) == buffer_.size(),
                        limits_.connection_memory, limits_.max_body);
    if (s.verdict == Screening::Verdict::Wait)
        return;
    if (s.verdict == Screening::Verdict::Refuse)
        return refuse(fd, held, s, static_cast<std::size_t>(n));
    // A client that has closed its side with nothing the library would
    // answer gets nothing; one that sent whole requests gets their answers
    // and then the close, rather than a wait for more (the library does not
    // notice a close that came in with the requests).
    if (held.ended && s.answers == 0) {
        while (recv(fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT) > 0) {
        }
        return drop(fd);
    }
    if (held.ended && ended_)
        ended_(fd, s.answers);
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
    sources_.release(held.source);
    // The library counts it again (and may refuse it) as it takes it, and
    // closes it if it cannot.
    const sockaddr_storage peer = held.peer;
    const socklen_t length = held.length;
    held_.erase(fd);
    MHD_add_connection(mhd_, fd, reinterpret_cast<const sockaddr*>(&peer), length);
}

// One answer, then the connection closed; what it sent is read first, so
// that closing does not reset the answer away. Logged before it is sent,
// as the library's refusals are.
void Doorman::refuse(int fd, Held& held, const Screening& screening, std::size_t sent) {
    if (refused_)
        refused_(Rejection{held.address, held.port, screening.target, screening.refusal.status});
    while (sent > 0) {
        const ssize_t n = recv(fd, buffer_.data(), std::min(sent, buffer_.size()), MSG_DONTWAIT);
        if (n <= 0)
            break;
        sent -= static_cast<std::size_t>(n);
    }
    const std::string text = answer_text(refusal_answer(page_, screening, held.address, held.port));
    if (send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        // Gone: nothing more to tell it.
    }
    shutdown(fd, SHUT_WR);
    drop(fd);
}

void Doorman::drop(int fd) {
    auto found = held_.find(fd);
    if (found != held_.end()) {
        sources_.release(found->second.source);
        held_.erase(found);
    }
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
}

// Cuts the connections whose first head is overdue.
void Doorman::sweep() {
    const auto overdue =
        std::chrono::steady_clock::now() - std::chrono::seconds(limits_.head_deadline_s);
    std::vector<int> late;
    for (const auto& [fd, held] : held_) {
        if (held.since < overdue)
            late.push_back(fd);
    }
    for (int fd : late) {
        metrics().refused(Metrics::kTooSlow);
        drop(fd);
    }
}

} // namespace tovix::server
