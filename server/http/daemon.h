// Inside the HTTP layer: the state of connections, requests and listening
// daemons, and libmicrohttpd's callbacks (daemon.cpp) that HttpServer hands
// the library. Nothing outside server/http/ includes this.
#pragma once

#include "http/server.h"

#include <microhttpd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace tovix::server {

using HttpClock = std::chrono::steady_clock;

class Doorman;

struct HttpServer::Connection {
    int fd = -1;
    std::string source;          // its key in the server's SourceCounts
    HttpClock::time_point since; // when the head now awaited began to be due
    bool awaiting_head = true;
    bool handling = false; // a request of it is with the handler or being answered
    bool cut = false;
    // The `since` at which the sweep first found its client's side closed
    // with nothing left to read; a second sweep that finds the same cuts it.
    std::optional<HttpClock::time_point> ended_at;
    // The answers left before the connection is closed (its client closed
    // its side after sending them); 0: no such limit.
    std::size_t answers_left = 0;
};

struct ConnectionTable {
    std::mutex mutex;
    std::unordered_set<HttpServer::Connection*> live;
    std::unordered_map<int, std::size_t> ended; // by descriptor, from the doorman
};

// One request, from its request line to its completion (MHD's con_cls).
struct RequestState {
    std::string target;
    HttpClock::time_point received = HttpClock::now();
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
    int quiesced_fd = -1;          // the listening socket, ours to close once stopped
    std::unique_ptr<Doorman> door; // plain HTTP: it accepts, the library does not
};

// What a request gets once the server is stopping: come back later, on a
// new connection.
HttpResponse stopping();

// The library's callbacks; `cls` is the Daemon.
MHD_Result on_access(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char* version, const char* upload_data, std::size_t* upload_size,
                     void** con_cls);
void* on_uri(void* cls, const char* uri, MHD_Connection* connection);
void on_completed(void* cls, MHD_Connection* connection, void** con_cls,
                  MHD_RequestTerminationCode code);
void on_connection(void* cls, MHD_Connection* connection, void** socket_context,
                   MHD_ConnectionNotificationCode code);
MHD_Result on_accept(void* cls, const sockaddr* address, socklen_t length);
void on_log(void* cls, const char* format, va_list args);

// What the layer answered by itself, for the metrics; a dropped connection
// (0) was cut by the sweep, which counts it.
void count_refusal(int status);

// GnuTLS's priorities for the HTTPS listeners.
extern const char* const kTlsPriorities;

} // namespace tovix::server
