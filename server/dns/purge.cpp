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
        const bool ok =
            (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '*' || c == '_';
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
    for (const std::string& name : names) {
        if (name.back() != '$')
            line += " " + name;
    }
    return line + "\n";
}

DnsPurger::DnsPurger(std::vector<std::string> sockets, Log log, PurgePolicy policy)
    : log_(std::move(log)), policy_(policy) {
    for (std::string& path : sockets)
        targets_.push_back(Target{std::move(path), {}, {}, {}, {}, {}, 0, 0});
    if (!targets_.empty()) {
        thread_ = std::thread([this] { run(); });
        watch_ = std::thread([this] { watch(); });
    }
}

DnsPurger::~DnsPurger() {
    stop_thread(mutex_, stopping_, wake_, thread_);
    stop_thread(mutex_, stopping_, watch_wake_, watch_);
    std::deque<Waiter> left;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        left.swap(waiters_);
    }
    for (Waiter& w : left)
        w.then(false);
}

void DnsPurger::purge(const std::vector<std::string>& names) {
    if (targets_.empty() || names.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const Clock::time_point now = Clock::now();
        bool exact = false;
        for (const std::string& name : names) {
            if (!purgeable(name)) {
                log_("tovix-server: not sent to PowerDNS for a purge: '" + escape_field(name) +
                     "' is no host name");
                continue;
            }
            const bool under = name.back() == '$';
            exact = exact || !under;
            for (Target& t : targets_) {
                Queue& queue = under ? t.under : t.exact;
                if (t.exact.size() + t.under.size() < policy_.max_names)
                    queue.emplace(name, now); // a name queued already keeps its time
                else if (!queue.count(name))
                    ++t.given_up;
            }
        }
        queued_ += exact ? 1 : 0;
    }
    wake_.notify_one();
}

bool DnsPurger::waits(const Waiter& w, bool* all) const {
    bool waiting = false;
    *all = true;
    for (const Target& t : targets_) {
        if (t.purged >= w.queued)
            continue;
        *all = false;
        waiting = waiting || t.pause.count() == 0;
    }
    return waiting;
}

void DnsPurger::after_purge(Purged then) {
    std::unique_lock<std::mutex> lock(mutex_);
    Waiter w{queued_, Clock::now() + policy_.wait, std::move(then)};
    bool all = true;
    if (stopping_ || !waits(w, &all) || policy_.wait.count() == 0) {
        lock.unlock();
        return w.then(all && !stopping_);
    }
    waiters_.push_back(std::move(w));
    lock.unlock();
    watch_wake_.notify_one();
}

// Tells the waiters that no working socket keeps waiting any more, in the
// order they came (a later one waits for whatever an earlier one does).
void DnsPurger::settle(std::unique_lock<std::mutex>& lock) {
    std::vector<std::pair<Purged, bool>> told;
    while (!waiters_.empty()) {
        bool all = true;
        if (waits(waiters_.front(), &all))
            break;
        told.emplace_back(std::move(waiters_.front().then), all);
        waiters_.pop_front();
    }
    if (told.empty())
        return;
    lock.unlock();
    for (auto& [then, all] : told)
        then(all);
    lock.lock();
}

// Tells each waiter whose time is up, whatever its sockets are doing.
void DnsPurger::watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        std::vector<Purged> late;
        const Clock::time_point now = Clock::now();
        while (!waiters_.empty() && waiters_.front().deadline <= now) {
            late.push_back(std::move(waiters_.front().then));
            waiters_.pop_front();
        }
        if (!late.empty()) {
            lock.unlock();
            for (Purged& then : late)
                then(false);
            lock.lock();
            continue;
        }
        if (waiters_.empty()) {
            watch_wake_.wait(lock);
        } else {
            // A copy: the waiter may be gone before wait_until() looks again.
            const Clock::time_point deadline = waiters_.front().deadline;
            watch_wake_.wait_until(lock, deadline);
        }
    }
}

bool DnsPurger::due(const Target& t, Clock::time_point now) const {
    return now >= t.next_try && (!t.exact.empty() || (!t.under.empty() && now >= t.under_next));
}

// Sends whatever is due, the exact names of every socket first; sleeps
// until the next socket is due, or until something is queued. When
// stopping, each socket that is not failing gets one last try of
// everything.
void DnsPurger::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        for (Target& t : targets_) {
            if (due(t, Clock::now()))
                send_exact(t, lock);
        }
        // Names with those under them: one a socket, while no exact name
        // waits for any.
        const auto exact_due = [this](const Target& t) {
            return !t.exact.empty() && due(t, Clock::now());
        };
        for (Target& t : targets_) {
            if (due(t, Clock::now()) && std::none_of(targets_.begin(), targets_.end(), exact_due))
                send_under(t, false, lock);
        }
        Clock::time_point wake_at = Clock::time_point::max();
        for (const Target& t : targets_) {
            if (!t.exact.empty())
                wake_at = std::min(wake_at, t.next_try);
            else if (!t.under.empty())
                wake_at = std::min(wake_at, std::max(t.next_try, t.under_next));
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
        if (t.pause.count() == 0 && send_exact(t, lock))
            send_under(t, true, lock);
    }
}

// Sends `batch` in commands of PurgePolicy::names_per_command names,
// removing each name PowerDNS purged; false, with the reason, at the first
// that fails.
bool DnsPurger::send_commands(const std::string& path, Queue& batch, std::string* why) const {
    while (!batch.empty()) {
        std::vector<std::string> names;
        auto end = batch.begin();
        for (; end != batch.end() && names.size() < policy_.names_per_command; ++end)
            names.push_back(end->first);
        metrics().purge_commands.fetch_add(1, std::memory_order_relaxed);
        if (!command(path, purge_command(names), policy_.timeout, why)) {
            metrics().purge_failures.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        batch.erase(batch.begin(), end);
    }
    return true;
}

// Sends every exact name queued for one socket, then tells the waiters;
// false when the socket failed (the names go back to the queue).
bool DnsPurger::send_exact(Target& target, std::unique_lock<std::mutex>& lock) {
    const std::uint64_t covers = queued_;
    if (!target.exact.empty()) {
        Queue exact;
        exact.swap(target.exact);
        lock.unlock();
        std::string why;
        const bool sent = send_commands(target.path, exact, &why);
        lock.lock();
        if (!sent)
            return failed(target, std::move(exact), {}, why, lock);
        working(target);
    }
    target.purged = std::max(target.purged, covers);
    settle(lock);
    return true;
}

// Sends one name with those under it queued for one socket (all of them
// with `every_name`); false when the socket failed.
bool DnsPurger::send_under(Target& target, bool every_name, std::unique_lock<std::mutex>& lock) {
    Queue under;
    for (auto it = target.under.begin(); it != target.under.end() && (every_name || under.empty());)
        under.insert(target.under.extract(it++));
    if (under.empty())
        return true;
    lock.unlock();
    std::string why;
    const Clock::time_point began = Clock::now();
    const bool sent = send_commands(target.path, under, &why);
    const Clock::time_point ended = Clock::now();
    lock.lock();
    target.under_next = ended + (ended - began) * policy_.under_pause;
    if (!sent)
        return failed(target, {}, std::move(under), why, lock);
    working(target);
    return true;
}

// A socket answered: the end of a failure streak, if it was failing.
void DnsPurger::working(Target& target) {
    if (target.pause.count() == 0)
        return;
    log_("tovix-server: purging PowerDNS's cache through " + target.path + " again" +
         (target.given_up ? " (" + std::to_string(target.given_up) +
                                " names given up meanwhile: their old answers expired)"
                          : ""));
    target.pause = {};
    target.given_up = 0;
}

bool DnsPurger::failed(Target& target, Queue exact, Queue under, const std::string& why,
                       std::unique_lock<std::mutex>& lock) {
    if (target.pause.count() == 0)
        log_("tovix-server: cannot purge PowerDNS's cache through " + target.path + ": " + why +
             "; trying again (until then DNS may answer changed names from its cache)");
    // Names queued while the batch was out keep their place.
    const auto put_back = [](Queue& queue, Queue& names) {
        for (auto& [name, since] : names) {
            auto [at, added] = queue.emplace(name, since);
            if (!added)
                at->second = std::min(at->second, since);
        }
    };
    put_back(target.exact, exact);
    put_back(target.under, under);
    target.pause = target.pause.count() == 0 ? policy_.first_retry
                                             : std::min(target.pause * 2, policy_.last_retry);
    target.next_try = Clock::now() + target.pause;
    give_up(target, Clock::now());
    settle(lock); // nobody waits for a failing socket
    return false;
}

// Drops the names queued longer than PurgePolicy::give_up, and any beyond
// PurgePolicy::max_names (those with the names under them first).
void DnsPurger::give_up(Target& target, Clock::time_point now) {
    for (Queue* queue : {&target.exact, &target.under}) {
        for (auto it = queue->begin(); it != queue->end();) {
            if (now - it->second >= policy_.give_up) {
                it = queue->erase(it);
                ++target.given_up;
            } else {
                ++it;
            }
        }
    }
    while (target.exact.size() + target.under.size() > policy_.max_names) {
        Queue& queue = target.under.empty() ? target.exact : target.under;
        queue.erase(std::prev(queue.end()));
        ++target.given_up;
    }
}

} // namespace tovix::server
