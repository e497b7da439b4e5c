/*
 * A scripted HTTP server on 127.0.0.1 for tests. Each accepted connection
 * runs a behaviour on a thread of its own: canned replies, a Basic challenge,
 * silence, a stall in the middle of the headers, a drip, an endless body or
 * header block, a reset, garbage, a redirect loop, an endless challenge, or
 * anything a test writes with Connection's few operations. The server records
 * the heads of the requests it receives (bounded) and stops promptly when it
 * is destroyed, whatever its connections are doing.
 */
#ifndef TOVIX_TESTS_SUPPORT_LOOPBACK_SERVER_H
#define TOVIX_TESTS_SUPPORT_LOOPBACK_SERVER_H

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace testing_server {

class LoopbackServer;

// One accepted connection, as a behaviour sees it. Every operation returns
// false once the client has gone or the server is stopping.
class Connection {
  public:
    Connection(LoopbackServer& server, int fd) : server_(server), fd_(fd) {}
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Reads one request head (up to the blank line) and records it.
    bool ReadRequest(std::string* head = nullptr);
    bool Send(std::string_view bytes);
    // Sends one byte every `intervalMs`.
    bool Drip(std::string_view bytes, int intervalMs);
    // Waits `ms` milliseconds.
    bool Wait(int ms);
    // Waits until the client closes the connection (or the server stops).
    void WaitForClose();
    // Closes with a reset (SO_LINGER 0) instead of an orderly shutdown.
    void Reset();
    void Close();

  private:
    LoopbackServer& server_;
    int fd_;
    std::string pending_;
};

using Behaviour = std::function<void(Connection&)>;

class LoopbackServer {
  public:
    // Listens on 127.0.0.1:port (0: an ephemeral port).
    explicit LoopbackServer(Behaviour behaviour, uint16_t port = 0);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    bool listening() const { return listenFd_ >= 0; }
    uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by `path`.
    std::string Url(std::string_view path = "/") const;

    // Request heads received so far, oldest first (the first 100, each cut
    // at 64 KiB).
    std::vector<std::string> Requests() const;
    int Connections() const { return connections_.load(); }
    // Waits up to `ms` for at least `count` requests; true if they came.
    bool WaitForRequests(size_t count, int ms) const;

    // For Connection.
    int stopFd() const { return stopFd_; }
    void Record(const std::string& head);

  private:
    void AcceptLoop();

    Behaviour behaviour_;
    int listenFd_ = -1;
    int stopFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<int> connections_{0};
    std::thread acceptThread_;
    std::mutex mutex_;
    std::vector<std::thread> workers_;
    mutable std::mutex requestsMutex_;
    mutable std::condition_variable requestsChanged_;
    std::vector<std::string> requests_;
};

// "HTTP/1.1 <status> <reason>" with Content-Length, the extra header lines
// (each ending in CR LF) and the body.
std::string HttpResponse(int status, std::string_view reason, std::string_view body,
                         std::string_view extraHeaders = "");

// The same with the body in chunks of at most `chunk` bytes
// (Transfer-Encoding: chunked).
std::string ChunkedResponse(int status, std::string_view reason, std::string_view body,
                            std::string_view extraHeaders = "", size_t chunk = 4096);

// Behaviours.
Behaviour Reply(std::string bytes); // each request on the connection gets these bytes
// As ChallengeThenReply, then the server closes the connection.
Behaviour ChallengeThenReplyAndClose(std::string bytes);
// A request without Authorization gets a 401 with a Basic challenge; one with it gets `bytes`.
Behaviour ChallengeThenReply(std::string bytes);
Behaviour NeverAnswer();    // reads the request and stays silent
Behaviour StopMidHeaders(); // sends part of the headers and stalls
Behaviour Drip(std::string bytes, int intervalMs);
Behaviour EndlessBody();    // 200 without a length, then body bytes for ever
Behaviour EndlessHeaders(); // a status line, then header lines for ever
Behaviour ResetAfterRequest();
Behaviour CloseAfterRequest(); // reads the request and closes without a word
Behaviour Garbage();           // bytes that are no HTTP response, then close
Behaviour RedirectLoop();      // every request: 302 to /loop
Behaviour EndlessChallenge();  // every request: 401 Basic challenge, body "badauth"
// Each request gets the reply of the first entry whose path prefix matches
// its target, else 404.
Behaviour ByPath(std::vector<std::pair<std::string, std::string>> routes);

// Pieces of a recorded request head.
std::string RequestTarget(const std::string& head); // "/path?query"
std::string RequestMethod(const std::string& head);
// Value of the first header of that name (any case), or "" with `found` false.
std::string HeaderValue(const std::string& head, std::string_view name, bool* found = nullptr);
// "user:password" from an "Authorization: Basic ..." value; "" if it isn't one.
std::string DecodeBasic(const std::string& authorization);

} // namespace testing_server

#endif
