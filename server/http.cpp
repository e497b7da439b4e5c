// The HTTP layer over libmicrohttpd.
//
// Map: address helpers; per-connection and per-request state; the daemon's
// callbacks (request line, headers and body, completion, connections, the
// accept policy); listening and stopping; the slow-client sweep. Who the
// caller is (sources, trusted proxies) is in sources.cpp.
//
// Threads: each daemon runs a pool of epoll threads; a request whose handler
// has not answered when it returns is suspended (MHD_suspend_connection) and
// resumed by the reply, so no thread waits for a slow handler or a slow
// client. libmicrohttpd itself bounds the head (the per-connection memory:
// 431 for too many or too large headers, 414 for a long request line),
// answers pipelined requests in order, and closes idle connections; what
// it lets through is refused once the head is in (http_parts.cpp). Nor does
// it bound a client that sends its head a byte at a time: a sweep cuts any
// connection that has not completed a request head within the deadline.
#include "http.h"

#include "base/address.h"
#include "base/metrics.h"
#include "base/strings.h"
#include "http_parts.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace tovix::server {

namespace {

using Clock = std::chrono::steady_clock;

std::optional<std::string> lookup(const Fields& fields, std::string_view name) {
    for (const auto& [key, value] : fields) {
        if (iequals(key, name))
            return value;
    }
    return std::nullopt;
}

// The text of a socket address, IPv4-mapped IPv6 as plain IPv4.
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

} // namespace

std::optional<std::string> HttpRequest::header(std::string_view name) const {
    return lookup(headers, name);
}

std::optional<std::string> HttpRequest::param(std::string_view name) const {
    return lookup(query, name);
}

// ---- state ------------------------------------------------------------------

struct HttpServer::Connection {
    int fd = -1;
    std::string source;      // its key in the server's SourceCounts
    Clock::time_point since; // when the head now awaited began to be due
    bool awaiting_head = true;
    bool cut = false;
};

struct ConnectionTable {
    std::mutex mutex;
    std::unordered_set<HttpServer::Connection*> live;
};

namespace {

// One request, from its request line to its completion (MHD's con_cls).
struct RequestState {
    std::string target;
    Clock::time_point received = Clock::now();
    bool started = false;    // the head is in
    bool dispatched = false; // the handler has it
    bool answered = false;   // the handler's response is queued
    bool refused = false;    // the layer answered it (414, 400, 411, 413)
    bool too_many_params = false;
    std::string body; // up to HttpLimits::max_body, which the head announced

    std::mutex mutex; // the reply may come from any thread
    MHD_Connection* connection = nullptr;
    bool suspended = false;
    std::optional<HttpResponse> response;
};

using StatePtr = std::shared_ptr<RequestState>;

} // namespace

struct HttpServer::Daemon {
    HttpServer* server = nullptr;
    MHD_Daemon* mhd = nullptr;
    int port = 0;
    std::string cert, key;
    bool starting = true;

    // New requests are answered "stopping" (drain, stop) and none is
    // suspended any more (stop): a suspended connection left behind would
    // make MHD_stop_daemon abort the process.
    std::atomic<bool> draining{false};
    std::mutex mutex; // suspended requests, resumed with a 503 when stopping
    bool closing = false;
    std::unordered_map<RequestState*, StatePtr> suspended;
    int quiesced_fd = -1; // the listening socket, ours to close once stopped
};

namespace {

using Daemon = HttpServer::Daemon;

// Answers on the HTTPS listener tell browsers to keep to HTTPS for a year.
void queue(const Daemon* d, MHD_Connection* connection, const HttpResponse& response) {
    MHD_Response* r = MHD_create_response_from_buffer(
        response.body.size(), const_cast<char*>(response.body.data()), MHD_RESPMEM_MUST_COPY);
    if (!r)
        return;
    bool typed = false;
    for (const auto& [name, value] : response.headers) {
        MHD_add_response_header(r, name.c_str(), value.c_str());
        typed = typed || iequals(name, "Content-Type");
    }
    if (!typed)
        MHD_add_response_header(r, "Content-Type", "text/plain");
    if (!d->cert.empty())
        MHD_add_response_header(r, "Strict-Transport-Security", "max-age=31536000");
    MHD_queue_response(connection, static_cast<unsigned>(response.status), r);
    MHD_destroy_response(r);
}

MHD_Result collect(void* cls, MHD_ValueKind, const char* key, const char* value) {
    static_cast<Fields*>(cls)->emplace_back(key ? key : "", value ? value : "");
    return MHD_YES;
}

unsigned http_status(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_HTTP_STATUS);
    return info ? info->http_status : 0;
}

HttpServer::Connection* connection_of(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<HttpServer::Connection*>(info->socket_context) : nullptr;
}

void set_awaiting(Daemon* d, MHD_Connection* connection, bool awaiting) {
    HttpServer::Connection* c = connection_of(connection);
    if (!c)
        return;
    std::lock_guard<std::mutex> lock(d->server->connection_table().mutex);
    c->awaiting_head = awaiting;
    c->since = Clock::now();
}

HttpRequest make_request(MHD_Connection* connection, const RequestState& state, const char* url,
                         const char* method) {
    HttpRequest request;
    request.method = method;
    request.path = url;
    request.target = state.target.empty() ? url : state.target;
    request.body = state.body;
    request.received = state.received;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, collect, &request.headers);
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, collect, &request.query);
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    request.peer = address_text(info ? info->client_addr : nullptr, &request.peer_port);
    return request;
}

// What a request gets once the server is stopping: come back later, on a
// new connection.
HttpResponse stopping() {
    return {503, "stopping", {{"Connection", "close"}, {"Retry-After", "1"}}};
}

// Hands the request to the handler. Its reply, whenever it comes, is queued
// here (at once) or by the access handler after the resume.
void dispatch(Daemon* d, MHD_Connection* connection, const StatePtr& state, const char* url,
              const char* method) {
    state->dispatched = true;
    state->connection = connection;
    HttpRequest request = make_request(connection, *state, url, method);
    request.https = !d->cert.empty();
    d->server->handler()(request, [d, state](HttpResponse response) {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->response)
            return; // one reply only
        state->response = std::move(response);
        if (state->suspended) {
            state->suspended = false;
            metrics().suspended.fetch_sub(1, std::memory_order_relaxed);
            {
                std::lock_guard<std::mutex> dl(d->mutex);
                d->suspended.erase(state.get());
            }
            MHD_resume_connection(state->connection);
        }
    });
}

MHD_Result on_access(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char*, const char* upload_data, std::size_t* upload_size,
                     void** con_cls) {
    auto* d = static_cast<Daemon*>(cls);
    if (!*con_cls)
        *con_cls = new StatePtr(std::make_shared<RequestState>());
    const StatePtr& state = *static_cast<StatePtr*>(*con_cls);
    if (!state->started) {
        state->started = true;
        set_awaiting(d, connection, false);
        const Refusal refusal = head_refusal(connection, state->target, state->too_many_params,
                                             d->server->limits().max_body);
        if (refusal.status) {
            state->refused = true; // logged as the layer's refusal when it completes
            // Answered before any body is read: the library then reads
            // nothing more from this connection and closes it, and says so.
            queue(d, connection, {refusal.status, refusal.text, {{"Connection", "close"}}});
        }
        return MHD_YES;
    }
    if (state->refused)
        return MHD_YES; // the rest of the body is not read
    if (*upload_size > 0) {
        // The head's Content-Length was within max_body: kept whole.
        const std::size_t room = d->server->limits().max_body -
                                 std::min(state->body.size(), d->server->limits().max_body);
        state->body.append(upload_data, std::min(*upload_size, room));
        *upload_size = 0;
        return MHD_YES;
    }
    if (!state->dispatched) {
        if (d->draining) {
            state->dispatched = state->answered = true;
            queue(d, connection, stopping());
            return MHD_YES;
        }
        dispatch(d, connection, state, url, method);
    }
    std::lock_guard<std::mutex> lock(state->mutex);
    if (!state->response) {
        std::lock_guard<std::mutex> dl(d->mutex);
        if (d->closing) {
            state->response = stopping();
        } else {
            state->suspended = true;
            metrics().suspended.fetch_add(1, std::memory_order_relaxed);
            d->suspended.emplace(state.get(), state);
            MHD_suspend_connection(connection);
            return MHD_YES;
        }
    }
    state->answered = true;
    queue(d, connection, *state->response);
    return MHD_YES;
}

void* on_uri(void*, const char* uri, MHD_Connection*) {
    auto* state = new StatePtr(std::make_shared<RequestState>());
    (*state)->target = uri ? uri : "";
    (*state)->too_many_params = uri && cut_long_query(const_cast<char*>(uri));
    return state;
}

// What the layer answered by itself, for the metrics; a dropped connection
// (0) was cut by the sweep, which counts it.
void count_refusal(int status) {
    if (status == 413 || status == 414 || status == 431)
        metrics().refused(Metrics::kTooLarge);
    else if (status != 0 && status != 503)
        metrics().refused(Metrics::kMalformed);
}

void on_completed(void* cls, MHD_Connection* connection, void** con_cls,
                  MHD_RequestTerminationCode) {
    auto* d = static_cast<Daemon*>(cls);
    auto* holder = static_cast<StatePtr*>(*con_cls);
    if (!holder || !(*holder)->answered) {
        Rejection r;
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        r.peer = address_text(info ? info->client_addr : nullptr, &r.peer_port);
        r.status = static_cast<int>(http_status(connection));
        if (holder)
            r.target = (*holder)->target;
        // A client that went away after its answer was queued, or before it
        // sent anything, is nothing to log.
        if (!(holder && (*holder)->dispatched) && (r.status != 0 || !r.target.empty())) {
            d->server->rejection_log()(r);
            count_refusal(r.status);
        }
    }
    delete holder;
    *con_cls = nullptr;
    set_awaiting(d, connection, true);
}

void on_connection(void* cls, MHD_Connection* connection, void** socket_context,
                   MHD_ConnectionNotificationCode code) {
    auto* d = static_cast<Daemon*>(cls);
    ConnectionTable& table = d->server->connection_table();
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        auto* c = new HttpServer::Connection;
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        c->fd = info ? info->connect_fd : -1;
        info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        int port = 0;
        c->source =
            d->server->sources().add(address_text(info ? info->client_addr : nullptr, &port));
        c->since = Clock::now();
        std::lock_guard<std::mutex> lock(table.mutex);
        table.live.insert(c);
        *socket_context = c;
        metrics().connections.fetch_add(1, std::memory_order_relaxed);
    } else {
        auto* c = static_cast<HttpServer::Connection*>(*socket_context);
        {
            std::lock_guard<std::mutex> lock(table.mutex);
            table.live.erase(c);
        }
        d->server->sources().release(c->source);
        delete c;
        metrics().connections.fetch_sub(1, std::memory_order_relaxed);
        *socket_context = nullptr;
    }
}

// Refuses a connection whose source has its share open already. Only
// connections that have started are counted (see on_connection): one the
// library drops after this (its own connection limit, no memory) is never
// counted and so never left behind. Threads accepting from one source at
// the same instant may each let one more in.
MHD_Result on_accept(void* cls, const sockaddr* address, socklen_t) {
    int port = 0;
    if (static_cast<Daemon*>(cls)->server->sources().admits(address_text(address, &port)))
        return MHD_YES;
    metrics().refused(Metrics::kPerSource);
    return MHD_NO;
}

// GnuTLS's usual choice, narrowed to TLS 1.2 and 1.3 and to key exchanges
// with forward secrecy: no static RSA (TLS 1.3 has none), and DHE is never
// picked since no DH parameters are set. The server's order wins.
constexpr const char* kTlsPriorities = "NORMAL:%SERVER_PRECEDENCE:-VERS-ALL:+VERS-TLS1.3:"
                                       "+VERS-TLS1.2:-RSA";

void on_log(void* cls, const char* format, va_list args) {
    // The library's connection limit refuses before on_accept is asked.
    if (std::strstr(format, "reached connection limit"))
        metrics().refused(Metrics::kTooManyConnections);
    // Only what goes wrong while starting: a hostile client must not be
    // able to fill the log through the library.
    if (!static_cast<Daemon*>(cls)->starting)
        return;
    std::fputs("tovix-server: http: ", stderr);
    std::vfprintf(stderr, format, args);
}

} // namespace

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
    if (family == AF_INET6)
        flags |= MHD_USE_IPv6;
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&on_log), d.get()},
        {MHD_OPTION_LISTEN_SOCKET, fd, nullptr},
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
    daemons_.push_back(std::move(d));
    return true;
}

int HttpServer::port(std::size_t n) const {
    return n < daemons_.size() ? daemons_[n]->port : 0;
}

void HttpServer::drain() {
    for (auto& d : daemons_) {
        if (d->draining.exchange(true))
            continue;
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

// Cuts the connections whose request head is overdue. shutdown() leaves the
// descriptor to libmicrohttpd, which sees the end of the stream and closes it.
void HttpServer::sweep() {
    while (!stopping_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const auto overdue = Clock::now() - std::chrono::seconds(limits_.head_deadline_s);
        std::lock_guard<std::mutex> lock(connections_->mutex);
        for (Connection* c : connections_->live) {
            if (c->awaiting_head && !c->cut && c->since < overdue && c->fd >= 0) {
                shutdown(c->fd, SHUT_RDWR);
                c->cut = true;
                metrics().refused(Metrics::kTooSlow);
            }
        }
    }
}

} // namespace tovix::server
