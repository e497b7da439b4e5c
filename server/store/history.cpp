// What the store keeps of a host beside its settings: its latest changes
// (written in the transaction of the change, the oldest beyond the limit
// dropped there too), and its activity, which the servers write in batches
// as deltas so that several servers on one database add up.
#include "store/store.h"

#include "base/strings.h"

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
               {host, seq, now, entry.what, utf8_prefix(entry.before, 1024),
                utf8_prefix(entry.after, 1024), utf8_prefix(o.caller, 64),
                utf8_prefix(o.user_agent, 255), std::int64_t{o.https},
                utf8_prefix(o.credential, 80)});
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

namespace {

// "(COLUMN, ...), ..." for `rows` rows, each ? in a column numbered on.
std::string value_rows(const std::vector<std::string>& columns, std::size_t rows) {
    std::string out;
    std::size_t n = 0;
    for (std::size_t row = 0; row < rows; ++row) {
        out += row ? ", (" : "(";
        for (std::size_t c = 0; c < columns.size(); ++c) {
            const std::string& column = columns[c];
            const std::size_t mark = column.find('?');
            out += (c ? ", " : "") + column.substr(0, mark + 1) + std::to_string(++n) +
                   column.substr(mark + 1);
        }
        out += ")";
    }
    return out;
}

constexpr const char* kBigint = "CAST(? AS BIGINT)";

// What `rows` rows padded to a chunk's length bind: NULLs, whose host
// matches no row.
void pad(std::vector<SqlValue>& values, std::size_t columns, std::size_t rows) {
    values.resize(columns * rows, SqlValue(nullptr));
}

} // namespace

// The activity of [first, last), at most kActivityRows hosts, in one
// statement for the hosts and one per kActivityRows token uses, each of a
// chunk's fixed number of rows (one prepared statement each) and sent
// without waiting (PostgreSQL's pipeline). Only hosts an account owns get
// a row, so a host withdrawn meanwhile stays forgotten (its other rows went
// with it). Seen moves only forward (another node may have written a later
// one); faults add up.
void Store::write_activity(ActivityIt first, ActivityIt last) {
    static const std::string hosts_sql =
        "INSERT INTO tovix_activity (host, seen_at, seen_caller, seen_agent, badauth, throttled,"
        " malformed, fault_at) SELECT o.host, v.column2, v.column3, v.column4, v.column5,"
        " v.column6, v.column7, v.column8 FROM (VALUES " +
        value_rows({"?", kBigint, "?", "?", kBigint, kBigint, kBigint, kBigint}, kActivityRows) +
        ") AS v JOIN account_hosts o ON o.host = v.column1 WHERE true"
        " ON CONFLICT (host) DO UPDATE SET"
        " seen_at = CASE WHEN tovix_activity.seen_at < excluded.seen_at"
        " THEN excluded.seen_at ELSE tovix_activity.seen_at END,"
        " seen_caller = CASE WHEN excluded.seen_at > 0 AND tovix_activity.seen_at <="
        " excluded.seen_at THEN excluded.seen_caller ELSE tovix_activity.seen_caller END,"
        " seen_agent = CASE WHEN excluded.seen_at > 0 AND tovix_activity.seen_at <="
        " excluded.seen_at THEN excluded.seen_agent ELSE tovix_activity.seen_agent END,"
        " badauth = tovix_activity.badauth + excluded.badauth,"
        " throttled = tovix_activity.throttled + excluded.throttled,"
        " malformed = tovix_activity.malformed + excluded.malformed,"
        " fault_at = CASE WHEN tovix_activity.fault_at < excluded.fault_at"
        " THEN excluded.fault_at ELSE tovix_activity.fault_at END"
        " WHERE (excluded.seen_at > 0 AND tovix_activity.seen_at <= excluded.seen_at)"
        " OR excluded.badauth + excluded.throttled + excluded.malformed > 0";
    static const std::string tokens_sql =
        "UPDATE tovix_tokens SET last_used = v.column3 FROM (VALUES " +
        value_rows({"?", kBigint, kBigint}, kActivityRows) +
        ") AS v WHERE tovix_tokens.host = v.column1 AND tovix_tokens.id = v.column2"
        " AND tovix_tokens.last_used < v.column3";
    std::vector<SqlValue> hosts, tokens;
    auto write_tokens = [&] {
        pad(tokens, 3, kActivityRows);
        db_->write(tokens_sql, tokens);
        tokens.clear();
    };
    for (auto at = first; at != last; ++at) {
        const auto& [host, a] = *at;
        for (const SqlValue& v : std::initializer_list<SqlValue>{
                 host, a.seen_at, utf8_prefix(a.seen_caller, 64), utf8_prefix(a.seen_agent, 255),
                 a.badauth, a.throttled, a.malformed, a.fault_at})
            hosts.push_back(v);
        for (const auto& [id, used] : a.token_uses) {
            for (const SqlValue& v : std::initializer_list<SqlValue>{host, id, used})
                tokens.push_back(v);
            if (tokens.size() == 3 * kActivityRows)
                write_tokens();
        }
    }
    pad(hosts, 8, kActivityRows);
    db_->write(hosts_sql, hosts);
    if (!tokens.empty())
        write_tokens();
}

// Short transactions: at most kActivityHosts hosts and about kActivitySlice
// each, written kActivityRows at a time, ended early (after kActivityLeast hosts, so that the
// commits stay few) when a request waits for the connection, and a pause between them in which it
// takes the connection: an update waits for a few hosts' statements and a commit, not for the whole
// write, and a pause after each slice as long as the slice. What is written leaves `deltas`: after
// a failure, it holds what was not.
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
                for (std::size_t n = 0;
                     next != deltas.end() && n < kActivityHosts &&
                     (n < kActivityLeast ||
                      (std::chrono::steady_clock::now() < until &&
                       requests_waiting_.load(std::memory_order_relaxed) == 0));) {
                    auto end = next;
                    for (std::size_t k = 0; end != deltas.end() && k < kActivityRows; ++k, ++end)
                        ++n;
                    write_activity(next, end);
                    next = end;
                }
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
