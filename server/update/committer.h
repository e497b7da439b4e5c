// Group commit: the updates of requests that arrive while a transaction is
// being written go together into the next one, with one sync for all of
// them. Each request is answered only once the transaction that holds it is
// on disk, so nothing answered is ever lost, and the rate of updates is no
// longer the rate of syncs. The names a transaction changed are the
// store's to tell (Store::on_changed_names), right after its commit.
#pragma once

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

    explicit Committer(Store& store, std::size_t max_batch = 1024, std::size_t max_queued = 20000);
    ~Committer(); // writes what is queued, then stops
    Committer(const Committer&) = delete;
    Committer& operator=(const Committer&) = delete;

    // Queues one request's updates; `done` is called on the committer's
    // thread. False when the queue is full (nothing queued).
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

    Store& store_;
    const std::size_t max_batch_, max_queued_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Pending> queue_;
    std::size_t queued_updates_ = 0;
    bool writing_ = false; // a batch is being written and answered
    std::condition_variable idle_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace tovix::server
