// The purger's thread and PowerDNS's control socket. pdns_server 4.7 takes
// one command per connection on its stream socket: the command line
// ("purge a.example$ b.example\n", several names at once), then it answers
// the number of cache entries it removed and closes the connection; an
// unknown command is answered with a complaint, and a name it cannot parse
// is not answered at all (hence the timeouts, and purgeable()).
#include "dns/purge.h"

#include "base/metrics.h"
#include "base/strings.h"
#include "base/threads.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tovix::server {

namespace {

class Socket {
  public:
    Socket() : fd_(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0)
            close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

std::string socket_error() {
    return errno == EAGAIN || errno == EWOULDBLOCK ? "no answer in time" : std::strerror(errno);
}

// Connects to `path`, sends `line` and reads the answer to its end; false
// with the reason in *why unless PowerDNS answered a count.
bool command(const std::string& path, const std::string& line, std::chrono::milliseconds timeout,
             std::string* why) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        *why = "the path is too long for a socket";
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    Socket s;
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
    if (s.fd() < 0 || setsockopt(s.fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0 ||
        setsockopt(s.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
        connect(s.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        *why = socket_error();
        return false;
    }
    for (std::size_t sent = 0; sent < line.size();) {
        const ssize_t n = send(s.fd(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *why = socket_error();
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    std::string answer;
    char buffer[256];
    for (ssize_t n; (n = recv(s.fd(), buffer, sizeof buffer, 0)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *why = socket_error();
            return false;
        }
        if (answer.size() < 200)
            answer.append(buffer, static_cast<std::size_t>(n));
    }
    if (answer.empty() ||
        !std::all_of(answer.begin(), answer.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        *why = "PowerDNS answered '" + escape_field(answer) + "'";
        return false;
    }
    return true;
}

} // namespace

bool purgeable(const std::string& name) {
    const std::string_view host = std::string_view(name).substr(
        0, !name.empty() && name.back() == '$' ? name.size() - 1 : name.size());
    if (host.empty() || host.size() > 253)
        return false;
    std::size_t label = 0;
    for (char c : host) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '*';
        if (c == '.' ? label == 0 : !ok)
            return false;
        label = c == '.' ? 0 : label + 1;
        if (label > 63)
            return false;
    }
    return label > 0;
}

std::string purge_command(const std::vector<std::string>& names) {
    std::string line = "purge";
    for (const std::string& name : names)
        line += " " + name;
    return line + "\n";
}

DnsPurger::DnsPurger(std::vector<std::string> sockets, Log log, PurgePolicy policy)
    : log_(std::move(log)), policy_(policy) {
    for (std::string& path : sockets)
        targets_.push_back(Target{std::move(path), {}, {}, {}, 0});
    if (!targets_.empty())
        thread_ = std::thread([this] { run(); });
}

DnsPurger::~DnsPurger() {
    stop_thread(mutex_, stopping_, wake_, thread_);
}

void DnsPurger::purge(const std::vector<std::string>& names) {
    if (targets_.empty() || names.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const Clock::time_point now = Clock::now();
        for (const std::string& name : names) {
            if (!purgeable(name)) {
                log_("tovix-server: not sent to PowerDNS for a purge: '" + escape_field(name) +
                     "' is no host name");
                continue;
            }
            for (Target& t : targets_) {
                if (t.queued.size() < policy_.max_names)
                    t.queued.emplace(name, now); // a name queued already keeps its time
                else if (!t.queued.count(name))
                    ++t.given_up;
            }
        }
    }
    wake_.notify_one();
}

bool DnsPurger::due(const Target& t, Clock::time_point now) const {
    return !t.queued.empty() && now >= t.next_try;
}

// Sends whatever is due; sleeps until the next socket is due, or until
// something is queued. When stopping, each socket that is not failing gets
// one last try.
void DnsPurger::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        Clock::time_point wake_at = Clock::time_point::max();
        for (Target& t : targets_) {
            if (due(t, Clock::now()))
                send(t, lock);
            if (!t.queued.empty())
                wake_at = std::min(wake_at, t.next_try);
        }
        if (stopping_)
            break;
        const auto pending = [this] {
            const Clock::time_point now = Clock::now();
            return stopping_ || std::any_of(targets_.begin(), targets_.end(),
                                            [&](const Target& t) { return due(t, now); });
        };
        if (wake_at == Clock::time_point::max())
            wake_.wait(lock, pending);
        else
            wake_.wait_until(lock, wake_at, pending);
    }
    for (Target& t : targets_) {
        if (t.pause.count() == 0 && !t.queued.empty())
            send(t, lock);
    }
}

// Sends everything queued for one socket, some names per command; what was
// not purged goes back to the queue.
void DnsPurger::send(Target& target, std::unique_lock<std::mutex>& lock) {
    std::map<std::string, Clock::time_point> batch;
    batch.swap(target.queued);
    const std::string path = target.path;
    lock.unlock();
    std::string why;
    auto next = batch.begin();
    while (next != batch.end()) {
        std::vector<std::string> names;
        auto end = next;
        for (; end != batch.end() && names.size() < policy_.names_per_command; ++end)
            names.push_back(end->first);
        metrics().purge_commands.fetch_add(1, std::memory_order_relaxed);
        if (!command(path, purge_command(names), policy_.timeout, &why)) {
            metrics().purge_failures.fetch_add(1, std::memory_order_relaxed);
            break;
        }
        next = batch.erase(next, end);
    }
    lock.lock();
    if (!batch.empty())
        return failed(target, std::move(batch), why);
    if (target.pause.count() > 0) {
        log_("tovix-server: purging PowerDNS's cache through " + target.path + " again" +
             (target.given_up ? " (" + std::to_string(target.given_up) +
                                    " names given up meanwhile: their old answers expired)"
                              : ""));
        target.pause = {};
        target.given_up = 0;
    }
}

void DnsPurger::failed(Target& target, std::map<std::string, Clock::time_point> names,
                       const std::string& why) {
    if (target.pause.count() == 0)
        log_("tovix-server: cannot purge PowerDNS's cache through " + target.path + ": " + why +
             "; trying again (until then DNS may answer changed names from its cache)");
    // Names queued while the batch was out keep their place.
    for (auto& [name, since] : names) {
        auto [at, added] = target.queued.emplace(name, since);
        if (!added)
            at->second = std::min(at->second, since);
    }
    target.pause = target.pause.count() == 0 ? policy_.first_retry
                                             : std::min(target.pause * 2, policy_.last_retry);
    target.next_try = Clock::now() + target.pause;
    give_up(target, Clock::now());
}

// Drops the names queued longer than PurgePolicy::give_up, and any beyond
// PurgePolicy::max_names.
void DnsPurger::give_up(Target& target, Clock::time_point now) {
    for (auto it = target.queued.begin(); it != target.queued.end();) {
        if (now - it->second >= policy_.give_up) {
            it = target.queued.erase(it);
            ++target.given_up;
        } else {
            ++it;
        }
    }
    while (target.queued.size() > policy_.max_names) {
        target.queued.erase(std::prev(target.queued.end()));
        ++target.given_up;
    }
}

} // namespace tovix::server
