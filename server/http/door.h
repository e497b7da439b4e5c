// The doorman of a plain-HTTP listener: accepts each connection itself and
// holds it until the first request head is in, screens the heads it has
// (screen_requests, http_parts.h), and only then hands the connection to
// libmicrohttpd, which reads it from the start. libmicrohttpd 0.9.75
// answers a Content-Length it cannot parse before any callback sees the
// head, and with its error head twice; a head like that is answered here
// instead, once, and the connection closed.
//
// What it cannot see: a request that arrives on a connection after the
// library has it (keep-alive), and anything under TLS (an HTTPS listener
// has no doorman); those reach the library as before.
#pragma once

#include "http/server.h"
#include "http/parts.h"

#include <microhttpd.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tovix::server {

class Doorman {
  public:
    // What the doorman refused by itself, for the log and the metrics.
    using Refused = std::function<void(const Rejection&)>;
    // A connection about to be handed over whose client has closed its
    // side: the library gives it `answers` answers, then it may be closed.
    using Ended = std::function<void(int fd, std::size_t answers)>;

    // Takes `listen_fd` (closed by stop()); hands connections to `mhd`, a
    // daemon started with MHD_USE_NO_LISTEN_SOCKET and MHD_USE_ITC.
    // A head it refuses is answered by `page` where that gives an answer.
    Doorman(int listen_fd, MHD_Daemon* mhd, const HttpLimits& limits, SourceCounts& sources,
            Refused refused, Ended ended, HttpServer::RefusalPage page);
    ~Doorman(); // stops
    Doorman(const Doorman&) = delete;
    Doorman& operator=(const Doorman&) = delete;

    // A connection made some other way, screened like an accepted one; the
    // doorman owns `fd` from here on.
    void adopt(int fd, const sockaddr* peer, socklen_t length);
    // Closes the listener and every connection still held. Safe more than once.
    void stop();

  private:
    struct Held {
        sockaddr_storage peer{};
        socklen_t length = 0;
        std::string address; // canonical text
        int port = 0;
        std::string source; // its key in SourceCounts
        std::chrono::steady_clock::time_point since;
        bool ended = false; // the client has closed its side
    };
    void run();
    void take(int fd, const sockaddr* peer, socklen_t length);
    void look(int fd);
    void refuse(int fd, Held& held, const Screening& screening, std::size_t sent);
    void drop(int fd);
    void sweep();

    int listen_fd_;
    MHD_Daemon* mhd_;
    HttpLimits limits_;
    SourceCounts& sources_;
    Refused refused_;
    Ended ended_;
    HttpServer::RefusalPage page_;
    int epoll_fd_ = -1;
    int wake_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::mutex inbox_mutex_;
    std::vector<std::pair<int, Held>> inbox_; // adopted, not yet taken
    std::unordered_map<int, Held> held_;      // the doorman's thread only
    std::vector<char> buffer_;
    std::thread thread_;
};

} // namespace tovix::server
