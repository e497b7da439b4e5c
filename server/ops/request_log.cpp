// The request log: each line formatted (and its target redacted) on the
// caller's thread, queued, and written and flushed by the log's own thread;
// a sink, if any, hears each entry before write() returns.
#include "ops/request_log.h"

#include "base/address.h"
#include "base/strings.h"
#include "base/threads.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace tovix::server {

namespace {

// A query key as the server reads it: decoded, lower case.
std::string decoded_key(std::string_view key) {
    std::string out = url_decode(key);
    for (char& c : out)
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return out;
}

bool secret_key(const std::string& key) {
    for (const char* part : {"pass", "token", "secret", "session", "csrf", "key", "auth"}) {
        if (key.find(part) != std::string::npos)
            return true;
    }
    return key == "pwd" || key == "pw";
}

RequestEntry summary(std::size_t count, const char* what) {
    RequestEntry e;
    e.time = std::time(nullptr);
    e.remote_addr = "-";
    e.method = e.target = e.user_agent = e.user = "-";
    e.answer = std::to_string(count) + " " + what;
    return e;
}

} // namespace

std::string format_endpoint(const std::string& address, int port) {
    const bool v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

std::string format_log_line(const RequestEntry& e) {
    const std::string remote =
        e.remote_addr == "-" ? e.remote_addr : format_endpoint(e.remote_addr, e.remote_port);
    std::string line = format_utc(e.time);
    for (const std::string* field : {&remote, &e.method, &e.target, &e.user_agent, &e.user}) {
        line += '\t';
        line += log_field(*field);
    }
    line += '\t';
    line += std::to_string(e.status);
    line += '\t';
    line += log_field(e.answer);
    return line;
}

std::string redact_target(std::string_view target) {
    const std::size_t q = target.find('?');
    std::string out(target.substr(0, q == std::string_view::npos ? target.size() : q + 1));
    if (q != std::string_view::npos) {
        const std::vector<std::string> pairs = split_list(target.substr(q + 1), '&');
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            if (i > 0)
                out.push_back('&');
            const std::string& pair = pairs[i];
            const std::size_t eq = pair.find('=');
            if (eq != std::string::npos && secret_key(decoded_key(pair.substr(0, eq))))
                out += pair.substr(0, eq) + "=***";
            else
                out += pair;
        }
    }
    if (out.size() > kMaxLoggedTarget)
        out.resize(kMaxLoggedTarget);
    return out;
}

RequestLog::RequestLog(Options options) : options_(std::move(options)) {
    refused_.tokens = options_.refused_burst;
    if (!options_.path.empty()) {
        const int fd = open(options_.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0 || !(file_.reset(fdopen(fd, "a")), file_)) {
            const std::string why = std::strerror(errno);
            if (fd >= 0)
                close(fd);
            throw std::runtime_error(options_.path + ": " + why);
        }
    }
    thread_ = std::thread([this] { run(); });
}

RequestLog::~RequestLog() {
    stop_thread(mutex_, stopping_, changed_, thread_);
}

void RequestLog::Bucket::refill(std::time_t now, double burst, double per_second) {
    if (now == refilled)
        return;
    const double seconds = refilled ? static_cast<double>(now - refilled) : 0;
    tokens = std::min(burst, tokens + std::max(0.0, seconds) * per_second);
    refilled = now;
}

// The bucket of a caller's source. The table stays bounded: when it is
// full, the sources whose buckets have filled up again are forgotten (they
// would start full anyway); if none has, all are, and the limit in all
// (refused lines) still holds.
RequestLog::Bucket& RequestLog::source_bucket(const std::string& address, std::time_t now) {
    const std::string key = source_key(address);
    auto found = sources_.find(key);
    if (found != sources_.end())
        return found->second;
    if (sources_.size() >= options_.max_sources) {
        for (auto it = sources_.begin(); it != sources_.end();) {
            it->second.refill(now, options_.source_burst, options_.source_per_second);
            it = it->second.tokens >= options_.source_burst ? sources_.erase(it) : std::next(it);
        }
        if (sources_.size() >= options_.max_sources)
            sources_.clear();
    }
    Bucket& fresh = sources_[key];
    fresh.tokens = options_.source_burst;
    fresh.refilled = now;
    return fresh;
}

// Whether a line is written: lines of requests without valid credentials
// draw on their source's bucket, lines of refused requests on one bucket
// for all; a full queue takes nothing more.
bool RequestLog::admit(const RequestEntry& entry) {
    const std::time_t now = std::time(nullptr);
    Bucket* source = nullptr;
    if (!entry.authenticated) {
        source = &source_bucket(entry.remote_addr, now);
        source->refill(now, options_.source_burst, options_.source_per_second);
        if (source->tokens < 1) {
            ++source_dropped_;
            return false;
        }
    }
    if (entry.status == 0 || entry.status >= 400) {
        refused_.refill(now, options_.refused_burst, options_.refused_per_second);
        if (refused_.tokens < 1) {
            ++refused_dropped_;
            return false;
        }
        refused_.tokens -= 1;
    }
    if (source)
        source->tokens -= 1;
    if (lines_.size() >= options_.max_queued) {
        ++overflow_dropped_;
        return false;
    }
    say_dropped();
    return true;
}

// What was left out is said before the next line that goes in, and at the end.
void RequestLog::say_dropped() {
    const std::pair<std::size_t*, const char*> counts[] = {
        {&refused_dropped_, "refused requests not logged"},
        {&source_dropped_, "requests without credentials not logged (limit per source)"},
        {&overflow_dropped_, "requests not logged (the log fell behind)"}};
    for (const auto& [dropped, what] : counts) {
        if (*dropped == 0)
            continue;
        lines_.push_back(format_log_line(summary(*dropped, what)));
        *dropped = 0;
    }
}

void RequestLog::write(RequestEntry entry) {
    entry.target = redact_target(entry.target);
    if (options_.sink)
        options_.sink(entry);
    std::string line = options_.to_stderr || file_ ? format_log_line(entry) : std::string();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (line.empty() || !admit(entry))
            return;
        lines_.push_back(std::move(line));
    }
    changed_.notify_one();
}

// Writes what has queued up, one flush per batch; at the end, what is left.
// Standard error has no buffer: the lines go out together, up to 64 KiB
// a write, rather than two writes a line (the line, then its newline),
// which another thread's message could also fall between.
void RequestLog::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !lines_.empty(); });
        if (stopping_)
            say_dropped();
        if (lines_.empty())
            return;
        std::deque<std::string> batch;
        batch.swap(lines_);
        lock.unlock();
        std::string text;
        const auto put = [this, &text] {
            if (options_.to_stderr)
                std::fwrite(text.data(), 1, text.size(), stderr);
            if (file_)
                std::fwrite(text.data(), 1, text.size(), file_.get());
            text.clear();
        };
        for (const std::string& line : batch) {
            text += line;
            text += '\n';
            if (text.size() >= kWriteSize)
                put();
        }
        put();
        if (file_)
            std::fflush(file_.get());
        lock.lock();
    }
}

} // namespace tovix::server
