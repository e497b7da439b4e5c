// Group commit: the updates of requests that arrive while a transaction is
// being written go together into the next one, with one sync for all of
// them. Each request is answered only once the transaction that holds it is
// on disk, so nothing answered is ever lost, and the rate of updates is no
// longer the rate of syncs. Once a transaction is written, the names it
// changed are handed to a DnsPurger.
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

// The names PowerDNS may answer from its cache with what they held before a
// commit (purge arguments, see DnsPurger): each changed host with every
// name under it ("host$": what its wildcard answers is cached under the
// names asked, not under *.host) and, exactly, the apex of each zone whose
// serial went up. Element i of `applied` is what became of update i.
std::vector<std::string> purge_names(const std::vector<Update>& updates,
                                     const std::vector<Applied>& applied);

class Committer {
  public:
    // Element i tells what became of update i (Store::apply); nothing when
    // the database failed (the transaction was rolled back).
    using Done = std::function<void(std::optional<std::vector<Applied>> applied)>;

    // `purger`, if any, is told the names each commit changed.
    explicit Committer(Store& store, DnsPurger* purger = nullptr, std::size_t max_batch = 1024,
                       std::size_t max_queued = 20000);
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
    DnsPurger* const purger_;
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
