// What the store keeps of a host beside its settings: its latest changes
// (written in the transaction of the change, the oldest beyond the limit
// dropped there too), and its activity, which the servers write in batches
// as deltas so that several servers on one database add up.
#include "store/store.h"

#include <algorithm>
#include <thread>

namespace tovix::server {

namespace {

Origin origin_at(const SqlRows& r, std::size_t i, std::size_t first) {
    return {r.text(i, first), r.text(i, first + 1), r.integer(i, first + 2) != 0,
            r.text(i, first + 3)};
}

} // namespace

// Inside a write transaction that holds the host's zone.
void Store::add_history(const std::string& host, std::int64_t now, const HistoryEntry& entry) {
    const std::int64_t seq =
        db_->query("SELECT COALESCE(MAX(seq), 0) FROM tovix_history WHERE host = ?1", {host})
            .integer(0, 0);
    write_history(host, seq + 1, now, entry);
}

// The same for a host of a batch: the latest numbers of all the batch's
// hosts come in one statement per few dozen hosts, so that the writes of a
// batch need no answer before its commit (PostgreSQL's pipeline).
void Store::add_history(Prefetched& batch, const std::string& host, std::int64_t now,
                        const HistoryEntry& entry) {
    if (!batch.history_read) {
        batch.history_read = true;
        constexpr std::size_t kChunk = 32; // one prepared statement: short chunks repeat a name
        // The latest of each host by the index, one host at a time: MAX
        // over a list of hosts would read all of their rows.
        const std::string sql =
            "SELECT o.host, (SELECT MAX(seq) FROM tovix_history t WHERE t.host = o.host)"
            " FROM account_hosts o WHERE o.host IN (" +
            placeholders(1, kChunk) + ")";
        for (std::size_t first = 0; first < batch.names.size(); first += kChunk) {
            const std::vector<SqlValue> names = chunk_values(batch.names, first, kChunk);
            const SqlRows r = db_->query(sql, names);
            for (std::size_t i = 0; i < r.rows.size(); ++i)
                batch.history_seq[r.text(i, 0)] = r.rows[i][1] ? r.integer(i, 1) : 0;
        }
    }
    auto latest = batch.history_seq.find(host);
    if (latest == batch.history_seq.end())
        return add_history(host, now, entry); // not one the batch read
    write_history(host, ++latest->second, now, entry);
}

void Store::write_history(const std::string& host, std::int64_t seq, std::int64_t now,
                          const HistoryEntry& entry) {
    const Origin& o = entry.origin;
    db_->write("INSERT INTO tovix_history (host, seq, at, what, old_value, new_value, caller,"
               " user_agent, https, credential) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)",
               {host, seq, now, entry.what, entry.before.substr(0, 1024),
                entry.after.substr(0, 1024), o.caller.substr(0, 64), o.user_agent.substr(0, 255),
                std::int64_t{o.https}, o.credential.substr(0, 80)});
    const auto keep = static_cast<std::int64_t>(history_size_);
    if (seq > keep)
        db_->write("DELETE FROM tovix_history WHERE host = ?1 AND seq <= ?2", {host, seq - keep});
}

std::vector<HistoryEntry> Store::history(const std::string& host, std::size_t limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    const SqlRows r = db_->query("SELECT at, what, old_value, new_value, caller, user_agent,"
                                 " https, credential FROM tovix_history WHERE host = ?1"
                                 " ORDER BY seq DESC LIMIT ?2",
                                 {host, static_cast<std::int64_t>(limit)});
    std::vector<HistoryEntry> out;
    for (std::size_t i = 0; i < r.rows.size(); ++i)
        out.push_back(
            {r.integer(i, 0), r.text(i, 1), r.text(i, 2), r.text(i, 3), origin_at(r, i, 4)});
    return out;
}

// One statement per host for what most hosts bring (seen, and its token
// used), each sent without waiting (PostgreSQL's pipeline); only hosts an
// account owns get a row, so a host withdrawn meanwhile stays forgotten
// (its other rows went with it).
void Store::write_activity(const std::string& host, const Activity& a) {
    if (a.seen_at)
        db_->write("INSERT INTO tovix_activity (host, seen_at, seen_caller, seen_agent)"
                   " SELECT host, ?2, ?3, ?4 FROM account_hosts WHERE host = ?1"
                   " ON CONFLICT (host) DO UPDATE SET seen_at = excluded.seen_at,"
                   " seen_caller = excluded.seen_caller, seen_agent = excluded.seen_agent"
                   " WHERE tovix_activity.seen_at <= excluded.seen_at",
                   {host, a.seen_at, a.seen_caller.substr(0, 64), a.seen_agent.substr(0, 255)});
    else
        db_->write("INSERT INTO tovix_activity (host) SELECT host FROM account_hosts"
                   " WHERE host = ?1 ON CONFLICT (host) DO NOTHING",
                   {host});
    if (a.faults())
        db_->write("UPDATE tovix_activity SET badauth = badauth + ?2,"
                   " throttled = throttled + ?3, malformed = malformed + ?4,"
                   " fault_at = CASE WHEN fault_at < ?5 THEN ?5 ELSE fault_at END"
                   " WHERE host = ?1",
                   {host, a.badauth, a.throttled, a.malformed, a.fault_at});
    for (const auto& [id, at] : a.token_uses)
        db_->write("UPDATE tovix_tokens SET last_used = ?3"
                   " WHERE host = ?1 AND id = ?2 AND last_used < ?3",
                   {host, id, at});
}

// Short transactions: at most kActivityHosts hosts and about kActivitySlice
// each, ended early (after kActivityLeast hosts, so that the commits stay
// few) when a request waits for the connection, and a pause between them in
// which it takes the connection: an update waits for a few hosts'
// statements and a commit, not for the whole write, and a pause after each
// slice as long as the slice.
// What is written leaves `deltas`: after a failure, it holds what was not.
void Store::record_activity(std::map<std::string, Activity>& deltas) {
    std::chrono::steady_clock::duration last{};
    for (bool first = true; !deltas.empty(); first = false) {
        // A pause as long as the last slice took: the write takes at most
        // half the time of the connection, and of a core.
        if (!first)
            std::this_thread::sleep_for(
                std::max<std::chrono::steady_clock::duration>(last, std::chrono::milliseconds(1)));
        std::lock_guard<std::mutex> lock(mutex_);
        const auto start = std::chrono::steady_clock::now();
        const auto until = start + kActivitySlice;
        auto next = deltas.begin();
        // A crash loses at most an interval of activity anyway: its commits
        // wait for the next update's sync instead of adding their own.
        db_->lazy_commits(true);
        try {
            transaction(Begin::Write, [&] {
                for (std::size_t n = 0; next != deltas.end() && n < kActivityHosts &&
                                        (n < kActivityLeast ||
                                         (std::chrono::steady_clock::now() < until &&
                                          requests_waiting_.load(std::memory_order_relaxed) == 0));
                     ++n, ++next)
                    write_activity(next->first, next->second);
                return true;
            });
        } catch (const StoreError&) {
            db_->lazy_commits(false); // every other commit is synced
            throw;
        }
        db_->lazy_commits(false);
        deltas.erase(deltas.begin(), next);
        last = std::chrono::steady_clock::now() - start;
    }
}

std::map<std::string, Activity> Store::activity(const std::vector<std::string>& hosts) {
    std::lock_guard<std::mutex> lock(mutex_);
    constexpr std::size_t kChunk = 32; // one prepared statement: short chunks repeat a name
    const std::string in = placeholders(1, kChunk);
    std::map<std::string, Activity> out;
    for (std::size_t first = 0; first < hosts.size(); first += kChunk) {
        const std::vector<SqlValue> values = chunk_values(hosts, first, kChunk);
        const SqlRows r =
            db_->query("SELECT host, seen_at, seen_caller, seen_agent, badauth, throttled,"
                       " malformed, fault_at FROM tovix_activity WHERE host IN (" +
                           in + ")",
                       values);
        for (std::size_t i = 0; i < r.rows.size(); ++i)
            out[r.text(i, 0)] = {r.integer(i, 1), r.text(i, 2),    r.text(i, 3),    r.integer(i, 4),
                                 r.integer(i, 5), r.integer(i, 6), r.integer(i, 7), {}};
    }
    return out;
}

// A host that leaves its account takes its tokens, history, activity,
// challenges, the router it followed and its latest prefix along: its next
// owner starts afresh. The challenges' records
// go with its other records (withdraw).
void Store::forget_host_data(const std::string& host) {
    for (const char* table : {"tovix_tokens", "tovix_history", "tovix_activity", "tovix_challenges",
                              "tovix_follows", "tovix_prefixes"})
        db_->query(std::string("DELETE FROM ") + table + " WHERE host = ?1", {host});
}

} // namespace tovix::server
