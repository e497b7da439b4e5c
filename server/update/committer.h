// Group commit: the updates of requests that arrive while a transaction is
// being written go together into the next one, with one sync for all of
// them. Each request is answered only once the transaction that holds it is
// on disk, so nothing answered is ever lost, and the rate of updates is no
// longer the rate of syncs. The names a transaction changed are the
// store's to tell (Store::on_changed_names), right after its commit; the
// requests of the batch are answered once PowerDNS has purged them
// (DnsPurger::after_purge), so that DNS answers what the answer says from
// the first query after it.
#pragma once

#include "dns/purge.h"
#include "store/store.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace tovix::server {

class Committer {
  public:
    // Element i tells what became of update i (Store::apply); nothing when
    // the database failed (the transaction was rolled back).
    using Done = std::function<void(std::optional<std::vector<Applied>> applied)>;

    // `purger`: the one the store's changed names go to (none: answered
    // once written).
    explicit Committer(Store& store, DnsPurger* purger = nullptr, std::size_t max_batch = 1024,
                       std::size_t max_queued = 20000);
    ~Committer(); // writes what is queued, answers it, then stops
    Committer(const Committer&) = delete;
    Committer& operator=(const Committer&) = delete;

    // Queues one request's updates; `done` is called on the committer's
    // thread, or on the purger's once PowerDNS purged what the batch
    // changed. False when the queue is full (nothing queued).
    bool submit(std::vector<Update> updates, Done done);
    // Waits until every request queued has been answered, or `deadline`
    // has come; true when all were.
    bool drain(std::chrono::steady_clock::time_point deadline);

  private:
    struct Pending {
        std::vector<Update> updates;
        Done done;
    };
    void run();
    static void answer(std::vector<Pending>& batch,
                       const std::optional<std::vector<Applied>>& applied);
    void answer_once_purged(std::vector<Pending> batch, std::vector<Applied> applied);

    Store& store_;
    DnsPurger* const purger_;
    const std::size_t max_batch_, max_queued_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Pending> queue_;
    std::size_t queued_updates_ = 0;
    std::uint64_t requests_ = 0; // numbers the requests submitted
    bool writing_ = false;       // a batch is being written and answered
    std::size_t purging_ = 0;    // batches written, waiting for their purge
    std::condition_variable idle_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace tovix::server
