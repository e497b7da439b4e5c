// The change log of the accounts, and the reads that never take every row:
// one owner, a page of accounts, the owned hosts chunk by chunk.
//
// A change takes the next number of the counter in tovix_meta as its
// sequence number, which holds every other account change off until it
// commits (on PostgreSQL the counter's row stays locked), so numbers are
// committed in the order they are taken; then it logs each account and host
// it touched under that number. A server reads the rows after the last
// number it read, and forgets only what they name.
#include "store/store.h"

#include <algorithm>
#include <ctime>

namespace tovix::server {

namespace {

// The least text above every text that starts with `prefix` (bytewise);
// empty when there is none.
std::string prefix_end(std::string prefix) {
    while (!prefix.empty() && static_cast<unsigned char>(prefix.back()) == 0xff)
        prefix.pop_back();
    if (!prefix.empty())
        prefix.back() = static_cast<char>(static_cast<unsigned char>(prefix.back()) + 1);
    return prefix;
}

} // namespace

bool Store::account_change(const std::function<bool()>& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool done = transaction(Begin::Write, [&] {
        change_seq_ = db_->query("INSERT INTO tovix_meta (name, value) VALUES ('accounts', 1)"
                                 " ON CONFLICT (name) DO UPDATE SET value = tovix_meta.value + 1"
                                 " RETURNING value")
                          .integer(0, 0);
        return change();
    });
    change_seq_ = 0;
    return done;
}

void Store::log_change(const std::string& what, const std::string& account,
                       const std::string& host) {
    db_->write("INSERT INTO tovix_account_changes (seq, what, account, host, at)"
               " VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT DO NOTHING",
               {change_seq_, what, account, host, std::int64_t{std::time(nullptr)}});
}

ChangeFeed Store::account_changes(std::int64_t after) {
    std::lock_guard<std::mutex> lock(mutex_);
    const SqlRows now = db_->query("SELECT value FROM tovix_meta WHERE name = 'accounts'");
    ChangeFeed feed;
    feed.seq = now.empty() ? 0 : now.integer(0, 0);
    if (feed.seq <= after) {
        feed.gap = feed.seq < after; // another database, or one started afresh
        return feed;
    }
    feed.seq = std::min(feed.seq, after + kChangesPerRead);
    const SqlRows r = db_->query("SELECT seq, what, account, host FROM tovix_account_changes"
                                 " WHERE seq > ?1 AND seq <= ?2 ORDER BY seq",
                                 {after, feed.seq});
    for (std::size_t i = 0; i < r.rows.size(); ++i)
        feed.changes.push_back({r.integer(i, 0), r.text(i, 1), r.text(i, 2), r.text(i, 3)});
    // Every change logs a row: a number without one was pruned.
    feed.gap = feed.changes.empty() || feed.changes.front().seq != after + 1;
    return feed;
}

void Store::prune_account_changes(std::int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    db_->query("DELETE FROM tovix_account_changes WHERE at < ?1", {now - kChangesKept});
}

// One statement, so that the counts and the number are of one moment.
AccountCounts Store::account_counts() {
    std::lock_guard<std::mutex> lock(mutex_);
    const SqlRows r =
        db_->query("SELECT (SELECT COUNT(*) FROM accounts), (SELECT COUNT(*) FROM account_hosts),"
                   " (SELECT COALESCE(MAX(value), 0) FROM tovix_meta WHERE name = 'accounts')");
    return {r.integer(0, 0), r.integer(0, 1), r.integer(0, 2)};
}

std::optional<std::string> Store::owner(const std::string& host) {
    const std::unique_lock<std::mutex> lock = lock_for_request();
    const SqlRows r = db_->query("SELECT account FROM account_hosts WHERE host = ?1", {host});
    return r.empty() ? std::nullopt : std::optional(r.text(0, 0));
}

std::vector<std::string> Store::owned(const std::vector<std::string>& hosts) {
    std::lock_guard<std::mutex> lock(mutex_);
    constexpr std::size_t kChunk = 32; // one prepared statement: short chunks repeat a name
    const std::string in = placeholders(1, kChunk);
    std::vector<std::string> out;
    for (std::size_t first = 0; first < hosts.size(); first += kChunk) {
        const std::vector<SqlValue> values = chunk_values(hosts, first, kChunk);
        const SqlRows r =
            db_->query("SELECT host FROM account_hosts WHERE host IN (" + in + ")", values);
        for (std::size_t i = 0; i < r.rows.size(); ++i)
            out.push_back(r.text(i, 0));
    }
    return out;
}

// " WHERE ... ORDER BY ... LIMIT ..." of a page of `column`, its values
// appended to *values: every comparison in the order of bytes, which an
// index in that order serves.
std::string Store::page_where(const char* column, const PageQuery& page,
                              std::vector<SqlValue>* values) const {
    const std::string c = std::string(column) + db_->byte_order();
    std::string where = " WHERE 1 = 1";
    auto bind = [&](const char* op, const std::string& value) {
        values->emplace_back(value);
        where += " AND " + c + " " + op + " ?" + std::to_string(values->size());
    };
    if (!page.after.empty())
        bind(">", page.after);
    if (!page.prefix.empty()) {
        bind(">=", page.prefix);
        if (const std::string end = prefix_end(page.prefix); !end.empty())
            bind("<", end);
    }
    values->emplace_back(static_cast<std::int64_t>(std::min(page.limit, kMaxPage)));
    return where + " ORDER BY " + c + " LIMIT ?" + std::to_string(values->size());
}

std::vector<AccountRecord> Store::accounts_page(const PageQuery& page) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<SqlValue> values;
    const std::string where = page_where("name", page, &values);
    const std::string bytes = db_->byte_order();
    const SqlRows r = db_->query("SELECT a.name, a.password_hash, h.host, a.admin FROM"
                                 " (SELECT name, password_hash, admin FROM accounts" +
                                     where +
                                     ") a LEFT JOIN account_hosts h ON h.account = a.name"
                                     " ORDER BY a.name" +
                                     bytes + ", h.host",
                                 values);
    std::vector<AccountRecord> out;
    for (std::size_t i = 0; i < r.rows.size(); ++i) {
        if (out.empty() || out.back().name != r.text(i, 0))
            out.push_back({r.text(i, 0), r.text(i, 1), {}, r.integer(i, 3) != 0});
        if (std::string host = r.text(i, 2); !host.empty())
            out.back().hosts.push_back(std::move(host));
    }
    for (AccountRecord& a : out)
        std::sort(a.hosts.begin(), a.hosts.end()); // bytewise, whatever the collation
    return out;
}

// A served zone's hosts are the zone, or end in "." and the zone.
std::vector<std::pair<std::string, std::string>>
Store::hosts_outside(const std::vector<std::string>& zones, const std::string& after,
                     std::size_t chunk, std::string* next) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<SqlValue> values{after, static_cast<std::int64_t>(chunk)};
    std::string inside = "0 = 1";
    for (const std::string& zone : zones) {
        values.emplace_back(zone);
        values.emplace_back("%." + zone);
        inside += " OR host = ?" + std::to_string(values.size() - 1) + " OR host LIKE ?" +
                  std::to_string(values.size());
    }
    const SqlRows r = db_->query("SELECT host, account, CASE WHEN " + inside +
                                     " THEN 1 ELSE 0 END FROM (SELECT host, account FROM"
                                     " account_hosts WHERE host > ?1 ORDER BY host LIMIT ?2) c"
                                     " ORDER BY host",
                                 values);
    std::vector<std::pair<std::string, std::string>> out;
    for (std::size_t i = 0; i < r.rows.size(); ++i) {
        if (r.integer(i, 2) == 0)
            out.emplace_back(r.text(i, 0), r.text(i, 1));
    }
    *next = r.empty() ? std::string() : r.text(r.rows.size() - 1, 0);
    return out;
}

} // namespace tovix::server
