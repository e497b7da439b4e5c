// The monitor's listener (libmicrohttpd, one internal thread: a scraper or
// two, never the public's load), its answers, and the database probe.
#include "ops/monitor.h"

#include "base/threads.h"
#include "http/parts.h"
#include "ops/exposition.h"
#include "store/inspect.h"

#include <microhttpd.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace tovix::server {

namespace {

bool mentions(const std::string& text, std::initializer_list<const char*> words) {
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::any_of(words.begin(), words.end(),
                       [&](const char* w) { return lower.find(w) != std::string::npos; });
}

// What a database error means to an operator.
std::string classify(const std::string& error) {
    if (mentions(error, {"disk is full", "no space left", "could not extend"}))
        return "disk full: " + error;
    if (mentions(error, {"read-only", "readonly", "read only"}))
        return "database read-only: " + error;
    return "database unreachable: " + error;
}

} // namespace

HealthVerdict judge_health(const DatabaseHealth::Snapshot& db, std::int64_t queued,
                           std::int64_t queue_limit, bool disk_full,
                           DatabaseHealth::Clock::time_point now) {
    if (queue_limit > 0 && queued >= queue_limit)
        return {false, "queue full: " + std::to_string(queued) + " updates wait for the committer"};
    if (db.last_failure != DatabaseHealth::Clock::time_point{} &&
        db.last_failure >= db.last_success)
        return {false, classify(db.failure)};
    if (disk_full)
        return {false, "disk full: under 1 MiB left beside the database"};
    if (db.last_success == DatabaseHealth::Clock::time_point{} ||
        now - db.last_success > kHealthWindow)
        return {false, "database not answering: no commit or probe succeeded in the last " +
                           std::to_string(kHealthWindow.count()) + " s"};
    return {true, "ok"};
}

// ---- the listener -------------------------------------------------------------

namespace {

struct Exchange {
    std::string target;
    bool started = false;
};

void* on_uri(void*, const char* uri, MHD_Connection*) {
    return new Exchange{uri ? uri : "", false};
}

void on_completed(void*, MHD_Connection*, void** con_cls, MHD_RequestTerminationCode) {
    delete static_cast<Exchange*>(*con_cls);
    *con_cls = nullptr;
}

MHD_Result on_access(void* cls, MHD_Connection* connection, const char*, const char* method,
                     const char*, const char*, std::size_t* upload_size, void** con_cls) {
    auto* exchange = static_cast<Exchange*>(*con_cls);
    if (!exchange)
        return MHD_NO;
    if (!exchange->started) {
        exchange->started = true;
        return MHD_YES;
    }
    if (*upload_size > 0) {
        *upload_size = 0; // read and dropped
        return MHD_YES;
    }
    const Monitor::Answer a = static_cast<const Monitor*>(cls)->answer(method, exchange->target);
    MHD_Response* r = MHD_create_response_from_buffer(
        a.body.size(), const_cast<char*>(a.body.data()), MHD_RESPMEM_MUST_COPY);
    if (!r)
        return MHD_NO;
    MHD_add_response_header(r, "Content-Type", a.content_type);
    if (a.status == 405)
        MHD_add_response_header(r, "Allow", "GET");
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(a.status), r);
    MHD_destroy_response(r);
    return queued;
}

} // namespace

Monitor::Monitor(std::string db, std::chrono::milliseconds probe_after)
    : db_(std::move(db)), probe_after_(probe_after) {}

Monitor::~Monitor() {
    stop();
}

bool Monitor::listen(const std::string& host, int port, std::string* error) {
    int family = 0;
    const int fd = open_listener(Endpoint{host, port, "", ""}, &port_, &family, error);
    if (fd < 0)
        return false;
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO;
    if (family == AF_INET6)
        flags |= MHD_USE_IPv6;
    daemon_ =
        MHD_start_daemon(flags, 0, nullptr, nullptr, &on_access, this, MHD_OPTION_LISTEN_SOCKET, fd,
                         MHD_OPTION_CONNECTION_LIMIT, 64u, MHD_OPTION_CONNECTION_TIMEOUT, 10u,
                         MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<std::size_t>(16 * 1024),
                         MHD_OPTION_URI_LOG_CALLBACK, &on_uri, nullptr, MHD_OPTION_NOTIFY_COMPLETED,
                         &on_completed, nullptr, MHD_OPTION_END);
    if (!daemon_) {
        close(fd);
        *error = "cannot start the HTTP daemon";
        return false;
    }
    prober_ = std::thread([this] { probe_loop(); });
    return true;
}

void Monitor::stop() {
    stop_thread(mutex_, stopping_, wake_, prober_);
    if (daemon_)
        MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

// Probes once the database has been quiet for probe_after_: commits prove
// it well enough while they come.
void Monitor::probe_loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    do {
        const DatabaseHealth::Snapshot s = database_health().snapshot();
        const auto now = DatabaseHealth::Clock::now();
        if (now - std::max(s.last_success, s.last_failure) < probe_after_)
            continue;
        lock.unlock();
        try {
            probe_database(db_);
            database_health().succeeded();
        } catch (const std::exception& e) {
            database_health().failed(e.what());
        }
        lock.lock();
    } while (!wake_.wait_for(lock, std::chrono::milliseconds(500), [this] { return stopping_; }));
}

HealthVerdict Monitor::health() const {
    const Metrics& m = metrics();
    return judge_health(database_health().snapshot(), m.committer_queue.load(),
                        m.committer_queue_limit.load(), disk_nearly_full(db_),
                        DatabaseHealth::Clock::now());
}

Monitor::Answer Monitor::answer(const std::string& method, const std::string& target) const {
    const char* const text = "text/plain; charset=utf-8";
    if (target != "/metrics" && target != "/healthz")
        return {404, "not found\n", text};
    if (method != "GET" && method != "HEAD")
        return {405, "method not allowed\n", text};
    const HealthVerdict v = health();
    if (target == "/metrics")
        return {200,
                render_metrics(metrics()) +
                    "# HELP tovix_healthy Whether GET /healthz answers 200.\n"
                    "# TYPE tovix_healthy gauge\ntovix_healthy " +
                    (v.ok ? "1" : "0") + "\n",
                "text/plain; version=0.0.4; charset=utf-8"};
    return {v.ok ? 200 : 503, v.reason + "\n", text};
}

} // namespace tovix::server
