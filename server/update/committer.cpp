// The committer's one thread: it takes whatever has queued up, at most
// max_batch updates and always at least one request, writes it in one
// transaction (one sync; the store tells the names it changed as it
// commits). Every request of the batch is answered once PowerDNS has
// purged those names, on the purger's thread while this one writes the
// next batch, or after the purger's bound (PurgePolicy::wait).
#include "update/committer.h"

#include "base/metrics.h"
#include "base/threads.h"
#include "store/health.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>

namespace tovix::server {

Committer::Committer(Store& store, DnsPurger* purger, std::size_t max_batch, std::size_t max_queued)
    : store_(store), purger_(purger), max_batch_(max_batch), max_queued_(max_queued),
      thread_([this] { run(); }) {
    metrics().committer_queue_limit = static_cast<std::int64_t>(max_queued_);
}

Committer::~Committer() {
    stop_thread(mutex_, stopping_, changed_, thread_);
    // The batches waiting for their purge are answered within its bound.
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return purging_ == 0; });
}

// Each request of `batch` told what became of its updates (nothing when
// the transaction was rolled back).
void Committer::answer(std::vector<Pending>& batch,
                       const std::optional<std::vector<Applied>>& applied) {
    std::size_t at = 0;
    for (Pending& p : batch) {
        if (!applied) {
            p.done(std::nullopt);
            continue;
        }
        const auto first = applied->begin() + static_cast<std::ptrdiff_t>(at);
        at += p.updates.size();
        p.done(std::vector<Applied>(first, applied->begin() + static_cast<std::ptrdiff_t>(at)));
    }
}

// The names the batch changed are queued for the purge already (the store
// told them as it committed): its answers wait for PowerDNS to purge them.
void Committer::answer_once_purged(std::vector<Pending> batch, std::vector<Applied> applied) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++purging_;
    }
    auto waiting = std::make_shared<std::pair<std::vector<Pending>, std::vector<Applied>>>(
        std::move(batch), std::move(applied));
    purger_->after_purge([this, waiting](bool all) {
        if (!all) {
            const auto changed = std::count_if(waiting->second.begin(), waiting->second.end(),
                                               [](const Applied& a) { return a.changed; });
            metrics().purge_unconfirmed.fetch_add(static_cast<std::uint64_t>(changed),
                                                  std::memory_order_relaxed);
        }
        answer(waiting->first, waiting->second);
        std::lock_guard<std::mutex> lock(mutex_);
        --purging_;
        idle_.notify_all();
    });
}

bool Committer::submit(std::vector<Update> updates, Done done) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || queued_updates_ + updates.size() > max_queued_)
            return false;
        queued_updates_ += updates.size();
        // One number per request: the store refuses a request whole.
        ++requests_;
        for (Update& u : updates)
            u.request = requests_;
        queue_.push_back({std::move(updates), std::move(done)});
        metrics().committer_queue = static_cast<std::int64_t>(queued_updates_);
    }
    changed_.notify_one();
    return true;
}

bool Committer::drain(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_until(lock, deadline,
                            [this] { return queue_.empty() && !writing_ && purging_ == 0; });
}

// Takes whatever has queued up (at most max_batch updates, and always at
// least one request), writes it in one transaction, answers each request.
void Committer::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty())
            return;
        std::vector<Pending> batch;
        std::vector<Update> updates;
        while (!queue_.empty() &&
               (batch.empty() || updates.size() + queue_.front().updates.size() <= max_batch_)) {
            Pending& next = queue_.front();
            updates.insert(updates.end(), next.updates.begin(), next.updates.end());
            queued_updates_ -= next.updates.size();
            batch.push_back(std::move(next));
            queue_.pop_front();
        }
        metrics().committer_queue = static_cast<std::int64_t>(queued_updates_);
        writing_ = true;
        lock.unlock();
        std::optional<std::vector<Applied>> changed;
        const auto began = std::chrono::steady_clock::now();
        try {
            changed = store_.apply(updates, std::time(nullptr));
            metrics().committed(updates.size(), std::chrono::steady_clock::now() - began);
            database_health().succeeded();
        } catch (const StoreError& e) {
            std::fprintf(stderr, "tovix-server: database: %s\n", e.what());
            metrics().commit_failed();
            database_health().failed(e.what());
        }
        if (changed && purger_)
            answer_once_purged(std::move(batch), std::move(*changed));
        else
            answer(batch, changed);
        lock.lock();
        writing_ = false;
        idle_.notify_all();
    }
}

} // namespace tovix::server
