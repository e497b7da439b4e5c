// libmicrohttpd's callbacks: the request line, headers and body, the
// handler's reply (at once, or after a suspend), completion, connections and
// the accept policy. See server.cpp for the threads and the limits.
#include "http/daemon.h"

#include "base/address.h"
#include "base/metrics.h"
#include "base/strings.h"
#include "http/parts.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace tovix::server {

namespace {

using Daemon = HttpServer::Daemon;

HttpServer::Connection* connection_of(MHD_Connection* connection);

// Answers on the HTTPS listener tell browsers to keep to HTTPS for a year.
// The answer to the last request of a client that has closed its side
// closes the connection.
void queue(const Daemon* d, MHD_Connection* connection, const HttpResponse& response) {
    HttpServer::Connection* c = connection_of(connection);
    const bool last = c && c->answers_left && --c->answers_left == 0;
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
    if (last)
        MHD_add_response_header(r, "Connection", "close");
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
    c->since = HttpClock::now();
    if (awaiting)
        c->handling = false;
}

void set_handling(Daemon* d, MHD_Connection* connection) {
    HttpServer::Connection* c = connection_of(connection);
    if (!c)
        return;
    std::lock_guard<std::mutex> lock(d->server->connection_table().mutex);
    c->handling = true;
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

// Hands the request to the handler. Its reply, whenever it comes, is queued
// here (at once) or by the access handler after the resume.
void dispatch(Daemon* d, MHD_Connection* connection, const StatePtr& state, const char* url,
              const char* method) {
    state->dispatched = true;
    state->connection = connection;
    set_handling(d, connection);
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

} // namespace

void count_refusal(int status) {
    if (status == 413 || status == 414 || status == 431)
        metrics().refused(Metrics::kTooLarge);
    else if (status != 0 && status != 503)
        metrics().refused(Metrics::kMalformed);
}

// What a request gets once the server is stopping: come back later, on a
// new connection.
HttpResponse stopping() {
    return {503, "stopping", {{"Connection", "close"}, {"Retry-After", "1"}}};
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
            HttpResponse response{refusal.status, refusal.text, {}};
            if (const auto& page = d->server->refusal_page()) {
                HttpRequest head = make_request(connection, *state, url, method);
                head.query.clear();
                head.https = !d->cert.empty();
                if (std::optional<HttpResponse> styled = page(head, refusal.status))
                    response = std::move(*styled);
            }
            response.headers.emplace_back("Connection", "close");
            queue(d, connection, response);
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
            set_handling(d, connection);
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
        c->since = HttpClock::now();
        std::lock_guard<std::mutex> lock(table.mutex);
        if (auto ended = table.ended.find(c->fd); ended != table.ended.end()) {
            c->answers_left = ended->second;
            table.ended.erase(ended);
        }
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

// GnuTLS's usual choice, narrowed to TLS 1.2 and 1.3 and to key exchanges
// with forward secrecy: no static RSA (TLS 1.3 has none), and DHE is never
// picked since no DH parameters are set. The server's order wins.
const char* const kTlsPriorities = "NORMAL:%SERVER_PRECEDENCE:-VERS-ALL:+VERS-TLS1.3:"
                                   "+VERS-TLS1.2:-RSA";

} // namespace tovix::server
