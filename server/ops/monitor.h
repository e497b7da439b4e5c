// What a monitoring system asks of tovix-server, on a listener of its own
// (--metrics-listen), never on the public one: GET /metrics (Prometheus's
// text format) and GET /healthz (200 "ok", or 503 and the reason). Health
// is the database's: the last commit, or else a probe transaction made on a
// connection of the monitor's own once the database has been quiet for a
// few seconds, must have succeeded within the last ten seconds, and the
// committer's queue must have room.
#pragma once

#include "store/health.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

struct MHD_Daemon;

namespace tovix::server {

struct HealthVerdict {
    bool ok = false;
    std::string reason; // "ok", or why not
};

inline constexpr std::chrono::seconds kHealthWindow{10};

// The verdict for a record, the committer's queue and the disk at `now`.
HealthVerdict judge_health(const DatabaseHealth::Snapshot& db, std::int64_t queued,
                           std::int64_t queue_limit, bool disk_full,
                           DatabaseHealth::Clock::time_point now);

class Monitor {
  public:
    // `db` is the server's database: probed when quiet, never created.
    explicit Monitor(std::string db,
                     std::chrono::milliseconds probe_after = std::chrono::seconds(3));
    ~Monitor(); // stops
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // Serves `host` (numeric) and `port` (0: a free one). False with the
    // reason in *error.
    bool listen(const std::string& host, int port, std::string* error);
    int port() const { return port_; }
    void stop();

    // The answer to a GET of `target` (path and query, as sent).
    struct Answer {
        int status;
        std::string body;
        const char* content_type;
    };
    Answer answer(const std::string& method, const std::string& target) const;

  private:
    void probe_loop();
    HealthVerdict health() const;

    const std::string db_;
    const std::chrono::milliseconds probe_after_;
    MHD_Daemon* daemon_ = nullptr;
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread prober_;
};

} // namespace tovix::server
