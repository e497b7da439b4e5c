// The registry's counting.
#include "base/metrics.h"

namespace tovix::server {

Metrics& metrics() {
    static Metrics registry;
    return registry;
}

void Metrics::request(Route route, int status) {
    std::size_t i = 0;
    while (i < kStatuses.size() && kStatuses[i] != status)
        ++i;
    requests_[route][i].fetch_add(1, std::memory_order_relaxed);
}

void Metrics::answered(Route route, std::chrono::steady_clock::time_point received, int status,
                       std::string_view body) {
    request(route, status);
    if (route != kUpdateRoute)
        return;
    if (status == 200 || status == 401 || status == 503)
        update_answer(body);
    if (received != std::chrono::steady_clock::time_point{})
        update_seconds.observe(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - received).count());
}

void Metrics::update_answer(std::string_view body) {
    while (!body.empty()) {
        const std::size_t end = body.find('\n');
        const std::string_view line = body.substr(0, end);
        const std::string_view word = line.substr(0, line.find(' '));
        std::size_t i = 0;
        while (i + 1 < kResults.size() && word != kResults[i])
            ++i;
        results_[i].fetch_add(1, std::memory_order_relaxed);
        if (end == std::string_view::npos)
            break;
        body.remove_prefix(end + 1);
    }
}

void Metrics::committed(std::size_t updates, std::chrono::steady_clock::duration took) {
    batch_sizes.observe(static_cast<double>(updates));
    commit_seconds.observe(std::chrono::duration<double>(took).count());
    updates_durable.fetch_add(updates, std::memory_order_relaxed);
    last_commit_unix.store(std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count(),
                           std::memory_order_relaxed);
}

} // namespace tovix::server
