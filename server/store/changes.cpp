// The notification payloads, and the listener's thread: libpq's
// non-blocking connect, LISTEN, then poll() on the connection's socket and
// on an eventfd that stops it, so that no step can keep the destructor
// waiting.
#include "store/changes.h"

#include "store/database.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <random>

namespace tovix::server {

namespace {

constexpr std::size_t kMaxPayload = 7900; // PostgreSQL refuses 8000 bytes and more

std::string trimmed(const char* message) {
    std::string out = message ? message : "";
    while (!out.empty() && std::isspace(static_cast<unsigned char>(out.back())))
        out.pop_back();
    return out.empty() ? "connection lost" : out;
}

} // namespace

std::string new_origin() {
    std::random_device random;
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 16; ++i)
        out += digits[random() % 16];
    return out;
}

std::vector<std::string> change_payloads(const std::string& origin,
                                         const std::vector<std::string>& names) {
    std::vector<std::string> out;
    std::string payload;
    for (const std::string& name : names) {
        if (!payload.empty() && payload.size() + 1 + name.size() > kMaxPayload) {
            out.push_back(payload);
            payload.clear();
        }
        payload += (payload.empty() ? origin : "") + " " + name;
    }
    if (!payload.empty())
        out.push_back(payload);
    return out;
}

bool parse_change_payload(const std::string& payload, std::string* origin,
                          std::vector<std::string>* names) {
    names->clear();
    std::size_t at = payload.find(' ');
    if (at == 0 || at == std::string::npos)
        return false;
    *origin = payload.substr(0, at);
    while (at < payload.size()) {
        const std::size_t end = std::min(payload.find(' ', at + 1), payload.size());
        if (end == at + 1)
            return false;
        names->push_back(payload.substr(at + 1, end - at - 1));
        at = end;
    }
    return !names->empty();
}

struct ChangeListener::Conn {
    PGconn* pg = nullptr;
    ~Conn() { PQfinish(pg); }
};

ChangeListener::ChangeListener(std::string uri, std::string own_origin,
                               std::vector<std::string> resync, Names names, News accounts, Log log,
                               ListenPolicy policy)
    : uri_(std::move(uri)), origin_(std::move(own_origin)), resync_(std::move(resync)),
      names_(std::move(names)), accounts_(std::move(accounts)), log_(std::move(log)),
      policy_(policy), stop_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (stop_fd_ < 0)
        throw StoreError(std::string("cannot listen for other servers' changes: ") +
                         std::strerror(errno));
    thread_ = std::thread([this] { run(); });
}

ChangeListener::~ChangeListener() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(stop_fd_, &one, sizeof one);
    thread_.join();
    close(stop_fd_);
}

// Waits until the connection's socket is readable (or writable), the stop
// fd is written, or the time is up; true only in the first case.
bool ChangeListener::wait(int fd, bool write, std::chrono::steady_clock::time_point until,
                          std::string* why) {
    for (;;) {
        pollfd fds[2] = {{stop_fd_, POLLIN, 0},
                         {fd, static_cast<short>(write ? POLLOUT : POLLIN), 0}};
        int timeout = -1;
        if (until != std::chrono::steady_clock::time_point::max()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::max<std::int64_t>(0, left.count()));
        }
        const int n = poll(fds, 2, timeout);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *why = std::strerror(errno);
            return false;
        }
        if (fds[0].revents) {
            why->clear();
            return false;
        }
        if (n == 0) {
            *why = "no answer in time";
            return false;
        }
        return true;
    }
}

// Connects without blocking and sends LISTEN; true once PostgreSQL took it.
bool ChangeListener::open(Conn& conn, std::string* why) {
    const auto until = std::chrono::steady_clock::now() + policy_.connect_timeout;
    // Keepalives tell a connection to a machine that vanished from one that
    // is quiet; the URI's own settings come later and win.
    const char* keys[] = {"keepalives_idle", "keepalives_interval", "keepalives_count", "dbname",
                          nullptr};
    const char* values[] = {"30", "10", "3", uri_.c_str(), nullptr};
    conn.pg = PQconnectStartParams(keys, values, 1);
    if (!conn.pg || PQstatus(conn.pg) == CONNECTION_BAD) {
        *why = conn.pg ? trimmed(PQerrorMessage(conn.pg)) : "out of memory";
        return false;
    }
    // libpq would print the server's notices (and its farewell when it ends
    // the session) on standard error; the loss is logged here instead.
    PQsetNoticeProcessor(
        conn.pg, [](void*, const char*) {}, nullptr);
    for (PostgresPollingStatusType s = PGRES_POLLING_WRITING; s != PGRES_POLLING_OK;) {
        if (s == PGRES_POLLING_FAILED) {
            *why = trimmed(PQerrorMessage(conn.pg));
            return false;
        }
        if (!wait(PQsocket(conn.pg), s == PGRES_POLLING_WRITING, until, why))
            return false;
        s = PQconnectPoll(conn.pg);
    }
    if (PQsetnonblocking(conn.pg, 1) != 0 ||
        PQsendQuery(conn.pg, (std::string("LISTEN ") + kChangesChannel).c_str()) != 1) {
        *why = trimmed(PQerrorMessage(conn.pg));
        return false;
    }
    while (PQflush(conn.pg) == 1) {
        if (!wait(PQsocket(conn.pg), true, until, why))
            return false;
    }
    bool listening = false;
    for (;;) {
        while (PQisBusy(conn.pg)) {
            if (!wait(PQsocket(conn.pg), false, until, why))
                return false;
            if (PQconsumeInput(conn.pg) != 1) {
                *why = trimmed(PQerrorMessage(conn.pg));
                return false;
            }
        }
        PGresult* r = PQgetResult(conn.pg);
        if (!r)
            break;
        listening = PQresultStatus(r) == PGRES_COMMAND_OK;
        if (!listening)
            *why = trimmed(PQresultErrorMessage(r));
        PQclear(r);
    }
    return listening;
}

// Hands on what arrives until the connection is lost (the reason) or the
// listener stops ("").
std::string ChangeListener::serve(Conn& conn) {
    std::string why;
    for (;;) {
        if (!wait(PQsocket(conn.pg), false, std::chrono::steady_clock::time_point::max(), &why))
            return why;
        if (PQconsumeInput(conn.pg) != 1)
            return trimmed(PQerrorMessage(conn.pg));
        std::vector<std::string> names;
        bool accounts = false;
        while (PGnotify* n = PQnotifies(conn.pg)) {
            std::string origin;
            std::vector<std::string> some;
            if (parse_change_payload(n->extra, &origin, &some) && origin != origin_) {
                for (std::string& name : some) {
                    if (name.rfind(kAccountsNews, 0) == 0)
                        accounts = true;
                    else
                        names.push_back(std::move(name));
                }
            }
            PQfreemem(n);
        }
        if (!names.empty() && names_)
            names_(names);
        if (accounts && accounts_)
            accounts_();
        if (PQstatus(conn.pg) == CONNECTION_BAD)
            return trimmed(PQerrorMessage(conn.pg));
    }
}

// Sleeps, unless stopped meanwhile; false then.
bool ChangeListener::pause(std::chrono::milliseconds how_long) {
    pollfd fd{stop_fd_, POLLIN, 0};
    for (;;) {
        const int n = poll(&fd, 1, static_cast<int>(how_long.count()));
        if (n < 0 && errno == EINTR)
            continue;
        return n == 0;
    }
}

void ChangeListener::run() {
    const std::string where = printable_location(uri_);
    bool failing = false, lost = false;
    std::chrono::milliseconds next_pause = policy_.first_retry;
    for (;;) {
        std::string why;
        Conn conn;
        if (open(conn, &why)) {
            if (failing || lost)
                log_("tovix-server: listening for other servers' changes on " + where +
                     " again; purging the served zones once");
            // Whatever changed before (while this server was down, or the
            // connection lost) is unknown here.
            if (!resync_.empty() && names_)
                names_(resync_);
            if (accounts_)
                accounts_();
            failing = false;
            next_pause = policy_.first_retry;
            why = serve(conn);
            if (why.empty())
                return;
            log_("tovix-server: lost the connection listening for other servers' changes on " +
                 where + ": " + why + "; connecting again");
            lost = true;
            continue; // at once: the first try after a loss waits for nothing
        }
        if (why.empty())
            return; // stopped
        if (!failing)
            log_("tovix-server: cannot listen for other servers' changes on " + where + ": " + why +
                 "; trying again (until then their changes leave this PowerDNS's cache as it"
                 " expires)");
        failing = true;
        lost = true;
        if (!pause(next_pause))
            return;
        next_pause = std::min(next_pause * 2, policy_.last_retry);
    }
}

} // namespace tovix::server
