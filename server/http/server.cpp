// The HTTP layer over libmicrohttpd.
//
// Map: here listening, stopping and the slow-client sweep; the state of
// connections and requests and the library's callbacks (request line,
// headers and body, completion, connections, the accept policy) in
// daemon.cpp; what the layer refuses of a head, and the listening socket, in
// parts.cpp; who the caller is (sources, trusted proxies) in sources.cpp.
//
// Threads: each daemon runs a pool of epoll threads; a request whose handler
// has not answered when it returns is suspended (MHD_suspend_connection) and
// resumed by the reply, so no thread waits for a slow handler or a slow
// client. libmicrohttpd itself bounds the head (the per-connection memory:
// 431 for too many or too large headers, 414 for a long request line),
// answers pipelined requests in order, and closes idle connections; what
// it lets through is refused once the head is in (parts.cpp). Nor does
// it bound a client that sends its head a byte at a time: a sweep cuts any
// connection that has not completed a request head within the deadline.
// On plain HTTP the library does not accept: a doorman (door.cpp) does,
// and hands it each connection once its first heads are screened.
#include "http/server.h"

#include "base/metrics.h"
#include "base/strings.h"
#include "http/daemon.h"
#include "http/door.h"
#include "http/parts.h"

#include <microhttpd.h>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

namespace tovix::server {

namespace {

std::optional<std::string> lookup(const Fields& fields, std::string_view name) {
    for (const auto& [key, value] : fields) {
        if (iequals(key, name))
            return value;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> HttpRequest::header(std::string_view name) const {
    return lookup(headers, name);
}

std::optional<std::string> HttpRequest::param(std::string_view name) const {
    return lookup(query, name);
}

// ---- the server ---------------------------------------------------------------

HttpServer::HttpServer(Handler handler, HttpLimits limits, RejectionLog rejections)
    : handler_(std::move(handler)), limits_(limits), rejections_(std::move(rejections)),
      connections_(std::make_shared<ConnectionTable>()), sources_(limits_.connections_per_ip) {
    sweeper_ = std::thread([this] { sweep(); });
}

HttpServer::~HttpServer() {
    stop();
}

bool HttpServer::listen(const Endpoint& endpoint, std::string* error) {
    const bool tls = !endpoint.tls_cert.empty() || !endpoint.tls_key.empty();
    if (tls && !MHD_is_feature_supported(MHD_FEATURE_TLS)) {
        *error = "this libmicrohttpd has no TLS support";
        return false;
    }
    auto d = std::make_unique<Daemon>();
    d->server = this;
    d->cert = endpoint.tls_cert;
    d->key = endpoint.tls_key;
    int family = 0;
    int fd = open_listener(endpoint, &d->port, &family, error);
    if (fd < 0)
        return false;

    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (tls)
        flags |= MHD_USE_TLS;
    else
        flags |= MHD_USE_NO_LISTEN_SOCKET | MHD_USE_ITC; // the doorman accepts
    if (family == AF_INET6)
        flags |= MHD_USE_IPv6;
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&on_log), d.get()},
        {MHD_OPTION_THREAD_POOL_SIZE,
         static_cast<intptr_t>(limits_.threads ? limits_.threads
                                               : std::max(2u, std::thread::hardware_concurrency())),
         nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(limits_.connections), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(limits_.connection_memory),
         nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(limits_.idle_timeout_s), nullptr},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&on_uri), d.get()},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&on_completed), d.get()},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&on_connection), d.get()},
    };
    if (tls) {
        options.push_back({MHD_OPTION_LISTEN_SOCKET, fd, nullptr});
        options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)});
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(d->cert.c_str())});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(d->key.c_str())});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    d->mhd = MHD_start_daemon(flags, 0, &on_accept, d.get(), &on_access, d.get(), MHD_OPTION_ARRAY,
                              options.data(), MHD_OPTION_END);
    if (!d->mhd) {
        close(fd);
        *error = tls ? "cannot start HTTPS (is the certificate or key unusable?)"
                     : "cannot start the HTTP daemon";
        return false;
    }
    d->starting = false;
    if (!tls)
        d->door = std::make_unique<Doorman>(
            fd, d->mhd, limits_, sources_,
            [this](const Rejection& r) {
                rejections_(r);
                count_refusal(r.status);
            },
            [table = connections_](int client, std::size_t answers) {
                std::lock_guard<std::mutex> lock(table->mutex);
                table->ended[client] = answers;
            },
            refusal_page_);
    daemons_.push_back(std::move(d));
    return true;
}

bool HttpServer::adopt(int fd, const sockaddr* peer, socklen_t length) {
    if (daemons_.empty()) {
        close(fd);
        return false;
    }
    Daemon& d = *daemons_.front();
    if (d.door)
        d.door->adopt(fd, peer, length);
    else
        MHD_add_connection(d.mhd, fd, peer, length);
    return true;
}

int HttpServer::port(std::size_t n) const {
    return n < daemons_.size() ? daemons_[n]->port : 0;
}

// The doorman (plain HTTP) or the library (HTTPS) stops accepting; the
// connections the doorman still holds had not sent a whole head.
void HttpServer::drain() {
    for (auto& d : daemons_) {
        if (d->draining.exchange(true))
            continue;
        if (d->door)
            d->door->stop();
        else
            d->quiesced_fd = MHD_quiesce_daemon(d->mhd);
    }
}

void HttpServer::stop() {
    if (stopping_.exchange(true))
        return;
    if (sweeper_.joinable())
        sweeper_.join();
    drain();
    for (auto& d : daemons_) {
        // A suspended connection must be resumed before the daemon stops,
        // and from here on none is suspended again.
        std::unordered_map<RequestState*, StatePtr> pending;
        {
            std::lock_guard<std::mutex> lock(d->mutex);
            d->closing = true;
            pending.swap(d->suspended);
        }
        for (auto& [raw, state] : pending) {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (!state->response)
                state->response = stopping();
            if (state->suspended) {
                state->suspended = false;
                metrics().suspended.fetch_sub(1, std::memory_order_relaxed);
                MHD_resume_connection(state->connection);
            }
        }
        MHD_stop_daemon(d->mhd);
        if (d->quiesced_fd >= 0)
            close(d->quiesced_fd);
    }
    daemons_.clear();
}

namespace {

// Whether the client has closed its side and everything it sent has been
// read from the socket.
bool client_done(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    int unread = 0;
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) &&
           ioctl(fd, FIONREAD, &unread) == 0 && unread == 0;
}

} // namespace

// Cuts the connections whose request head is overdue, and those whose client
// closed its side while nothing of theirs is being handled: the library
// does not notice a close that came in with the last bytes it read, and
// would keep such a connection until its idle timeout. That must hold on
// two sweeps in a row with no request begun or ended between them, so a
// request the library has read but not yet taken up is not cut away.
// shutdown() leaves the descriptor to libmicrohttpd, which sees the end of
// the stream and closes it.
void HttpServer::sweep() {
    while (!stopping_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const auto overdue = HttpClock::now() - std::chrono::seconds(limits_.head_deadline_s);
        std::lock_guard<std::mutex> lock(connections_->mutex);
        for (Connection* c : connections_->live) {
            if (c->cut || c->fd < 0)
                continue;
            if (c->awaiting_head && c->since < overdue) {
                shutdown(c->fd, SHUT_RDWR);
                c->cut = true;
                metrics().refused(Metrics::kTooSlow);
            } else if (c->handling || !client_done(c->fd)) {
                c->ended_at.reset();
            } else if (c->ended_at != c->since) {
                c->ended_at = c->since;
            } else {
                shutdown(c->fd, SHUT_RDWR);
                c->cut = true;
            }
        }
    }
}

} // namespace tovix::server
