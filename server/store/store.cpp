// The store's updates: a batch read ahead in a few statements, each update
// judged against what is stored, and the changes written with the hosts' DNS
// records and their zones' new serials in one transaction; a batch that
// changes nothing writes nothing. Here too are the transaction every part of
// the store runs in, the zone locks, and the hosts as listed.
#include "store/store.h"

#include <algorithm>
#include <set>
#include <utility>

namespace tovix::server {

namespace {

const char* const kSelectHost = "SELECT name, account, zone, ipv4, ipv6, wildcard, mx, backmx,"
                                " offline, updated_at FROM hosts";

// The address and mail records of one host: the rows publish() owns; and
// the SOA record of a zone. Both go by name and type, which PowerDNS's
// indexes cover in either database: "domain_id + 0" keeps the planner off
// the index on domain_id, which would walk every record of the zone.
const char* const kHostRecordsWhere =
    " WHERE name IN (?2, ?3) AND type IN ('A', 'AAAA', 'MX') AND domain_id + 0 = ?1";
const char* const kZoneSoaWhere = " WHERE name = ?1 AND type = 'SOA' AND domain_id + 0 = ?2";

SqlValue or_null(const std::string& value) {
    return value.empty() ? SqlValue(nullptr) : SqlValue(value);
}

Host host_at(const SqlRows& r, std::size_t i) {
    Host h;
    h.name = r.text(i, 0);
    h.account = r.text(i, 1);
    h.zone = r.text(i, 2);
    h.ipv4 = r.text(i, 3);
    h.ipv6 = r.text(i, 4);
    h.wildcard = r.integer(i, 5) != 0;
    h.mx = r.text(i, 6);
    h.backmx = r.integer(i, 7) != 0;
    h.offline = r.integer(i, 8) != 0;
    h.updated_at = r.integer(i, 9);
    return h;
}

// The history entry of a change from `old` (none: a new host) to `h`:
// which settings changed, before and after.
HistoryEntry change_of(const std::optional<Host>& old, const Host& h, const Origin& origin) {
    HistoryEntry e;
    e.origin = origin;
    const Host none;
    const Host& o = old ? *old : none;
    auto field = [&e](bool differ, const std::string& name, const std::string& was,
                      const std::string& is) {
        if (!differ)
            return;
        e.before += (e.before.empty() ? "" : " ") + name + "=" + (was.empty() ? "-" : was);
        e.after += (e.after.empty() ? "" : " ") + name + "=" + (is.empty() ? "-" : is);
    };
    auto on = [](bool b, const char* yes, const char* no) { return std::string(b ? yes : no); };
    field(o.ipv4 != h.ipv4, "A", o.ipv4, h.ipv4);
    field(o.ipv6 != h.ipv6, "AAAA", o.ipv6, h.ipv6);
    field(o.wildcard != h.wildcard, "wildcard", on(o.wildcard, "ON", "OFF"),
          on(h.wildcard, "ON", "OFF"));
    field(o.mx != h.mx, "mx", o.mx, h.mx);
    field(o.backmx != h.backmx, "backmx", on(o.backmx, "YES", "NO"), on(h.backmx, "YES", "NO"));
    field(o.offline != h.offline, "offline", on(o.offline, "YES", "NO"),
          on(h.offline, "YES", "NO"));
    if (!old)
        e.what = "new";
    else if (o.offline != h.offline)
        e.what = h.offline ? "offline" : "online";
    else if (o.ipv4 != h.ipv4 || o.ipv6 != h.ipv6)
        e.what = "address";
    else
        e.what = "settings";
    if (e.before.empty())
        e.before = e.after = "-";
    return e;
}

bool same_settings(const Host& a, const Host& b) {
    return a.account == b.account && a.ipv4 == b.ipv4 && a.ipv6 == b.ipv6 &&
           a.wildcard == b.wildcard && a.mx == b.mx && a.backmx == b.backmx &&
           a.offline == b.offline;
}

} // namespace

// Runs `work` in one transaction (the caller holds the lock): committed
// when it returns true, rolled back when it returns false or throws.
bool Store::transaction(Begin begin, const std::function<bool()>& work) {
    if (begin == Begin::Write)
        db_->begin_write();
    else
        db_->exec("BEGIN");
    changed_names_.clear();
    locked_soas_.clear();
    try {
        const bool keep = work();
        if (keep)
            announce_changes();
        if (keep)
            db_->commit();
        else
            db_->exec("ROLLBACK");
        if (keep)
            tell_changes();
        return keep;
    } catch (...) {
        db_->rollback();
        throw;
    }
}

void Store::save_host(const Host& h) {
    db_->write("INSERT INTO hosts (name, account, zone, ipv4, ipv6, wildcard, mx, backmx,"
               " offline, updated_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)"
               " ON CONFLICT (name) DO UPDATE SET account = excluded.account,"
               " zone = excluded.zone, ipv4 = excluded.ipv4, ipv6 = excluded.ipv6,"
               " wildcard = excluded.wildcard, mx = excluded.mx, backmx = excluded.backmx,"
               " offline = excluded.offline, updated_at = excluded.updated_at",
               {h.name, h.account, or_null(h.zone), or_null(h.ipv4), or_null(h.ipv6),
                std::int64_t{h.wildcard}, or_null(h.mx), std::int64_t{h.backmx},
                std::int64_t{h.offline}, h.updated_at});
}

// Other servers on the same database wait here for the zones this server
// writes, always taken in the order of their ids, so that reading a host and
// writing it back are one step and two servers never wait for each other.
void Store::lock_zones() {
    std::map<std::int64_t, std::string> by_id;
    for (const auto& [name, id] : zone_ids_)
        by_id[id] = name;
    for (const auto& [id, name] : by_id)
        lock_zone(name, id);
}

// Inside a write transaction: holds every other writer of the zone off
// until it ends. Where the database locks rows, that is the zone's SOA
// row, found by name and type (an index) as bump_serial() finds it, and
// read as it is locked (the serial's next value needs no second round
// trip); SQLite's begin_write has locked the whole file already.
void Store::lock_zone(const std::string& zone, std::int64_t zone_id) {
    if (!db_->locks_rows())
        return;
    const SqlRows r =
        db_->query(std::string("SELECT id, content FROM records") + kZoneSoaWhere + " FOR UPDATE",
                   {zone, zone_id});
    if (!r.empty())
        locked_soas_[zone] = {r.integer(0, 0), r.text(0, 1)};
}

Store::PublishedRow Store::PublishedRow::at(const SqlRows& r, std::size_t i) {
    return {r.integer(i, 0),
            {r.text(i, 1), r.text(i, 2), r.text(i, 3), static_cast<int>(r.integer(i, 4)),
             static_cast<int>(r.integer(i, 5))}};
}

void Store::PublishedRow::sort(std::vector<PublishedRow>& rows) {
    std::sort(rows.begin(), rows.end(),
              [](const PublishedRow& a, const PublishedRow& b) { return a.record < b.record; });
}

// The address and mail records of the host in its zone, sorted by record.
std::vector<Store::PublishedRow> Store::published_rows(const Host& host) {
    const SqlRows r = db_->query(
        std::string("SELECT id, name, type, content, ttl, prio FROM records") + kHostRecordsWhere,
        {zone_ids_.at(host.zone), host.name, "*." + host.name});
    std::vector<PublishedRow> out;
    for (std::size_t i = 0; i < r.rows.size(); ++i)
        out.push_back(PublishedRow::at(r, i));
    PublishedRow::sort(out);
    return out;
}

// Reads the stored rows and records of every host of a batch, a few dozen
// hosts per statement, rather than two statements per update.
Store::Prefetched Store::prefetch(const std::vector<Update>& updates) {
    Prefetched out;
    std::set<std::string> unique, routers;
    for (const Update& u : updates) {
        unique.insert(u.host);
        if (u.prefix)
            routers.insert(u.host);
    }
    // The followers of the routers that send a prefix are read with them.
    if (!routers.empty())
        prefetch_followers(out, {routers.begin(), routers.end()});
    for (const auto& [router, follows] : out.followers)
        for (const Follow& f : follows)
            unique.insert(f.host);
    out.names.assign(unique.begin(), unique.end());
    const std::vector<std::string>& names = out.names;
    constexpr std::size_t kChunk = 32; // one prepared statement: short chunks repeat a name
    // Each owned host's row (if any) and owner, in one statement: a host
    // no account owns is not updated, so its row is not needed.
    const std::string hosts_sql =
        "SELECT h.name, h.account, h.zone, h.ipv4, h.ipv6, h.wildcard, h.mx, h.backmx, h.offline,"
        " h.updated_at, o.host, o.account FROM account_hosts o LEFT JOIN hosts h ON h.name = o.host"
        " WHERE o.host IN (" +
        placeholders(1, kChunk) + ")";
    const std::string records_sql =
        "SELECT id, name, type, content, ttl, prio, domain_id FROM records WHERE name IN (" +
        placeholders(1, 2 * kChunk) + ") AND type IN ('A', 'AAAA', 'MX')";
    for (std::size_t first = 0; first < names.size(); first += kChunk) {
        std::vector<SqlValue> hosts, records;
        for (std::size_t i = 0; i < kChunk; ++i) {
            const std::string& name = names[std::min(first + i, names.size() - 1)];
            hosts.emplace_back(name);
            records.emplace_back(name);
            records.emplace_back("*." + name);
        }
        const SqlRows h = db_->query(hosts_sql, hosts);
        for (std::size_t i = 0; i < h.rows.size(); ++i) {
            out.owners[h.text(i, 10)] = h.text(i, 11);
            if (h.rows[i][0])
                out.hosts[h.text(i, 0)] = host_at(h, i);
        }
        const SqlRows r = db_->query(records_sql, records);
        for (std::size_t i = 0; i < r.rows.size(); ++i)
            out.records[r.text(i, 1)].push_back({r.integer(i, 6), PublishedRow::at(r, i)});
    }
    return out;
}

bool Store::PublishedRow::same(const std::vector<PublishedRow>& rows,
                               const std::vector<DnsRecord>& records, bool shape_only) {
    return std::equal(rows.begin(), rows.end(), records.begin(), records.end(),
                      [shape_only](const PublishedRow& row, const DnsRecord& r) {
                          return shape_only ? row.record.name == r.name && row.record.type == r.type
                                            : row.record == r;
                      });
}

bool Store::publish(const Host& host) {
    return publish(host, published_rows(host));
}

// Makes the host's address and mail records in its zone what its settings
// say; true when they were not already. A new address changes the rows in
// place when the names and types stay: PowerDNS's indexes on the records
// table cover names and types, not contents, so they are left alone.
bool Store::publish(const Host& host, const std::vector<PublishedRow>& present) {
    const std::vector<DnsRecord> wanted = host_records(host, ttl_);
    if (PublishedRow::same(present, wanted, false))
        return false;
    if (PublishedRow::same(present, wanted, true)) {
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            if (present[i].record == wanted[i])
                continue;
            db_->write("UPDATE records SET content = ?1, ttl = ?2, prio = ?3 WHERE id = ?4",
                       {wanted[i].content, std::int64_t{wanted[i].ttl},
                        std::int64_t{wanted[i].prio}, present[i].id});
        }
        return true;
    }
    const std::int64_t id = zone_ids_.at(host.zone);
    db_->write(std::string("DELETE FROM records") + kHostRecordsWhere,
               {id, host.name, "*." + host.name});
    for (const DnsRecord& r : wanted)
        db_->write("INSERT INTO records (domain_id, name, type, content, ttl, prio, disabled,"
                   " auth) VALUES (?1, ?2, ?3, ?4, ?5, ?6, FALSE, TRUE)",
                   {id, r.name, r.type, r.content, std::int64_t{r.ttl}, std::int64_t{r.prio}});
    return true;
}

// Deletes the host's address and mail records in the zone (publish()
// with nothing left to publish); true when it had some.
bool Store::unpublish(const std::string& host, std::int64_t zone_id) {
    return db_->query(std::string("DELETE FROM records") + kHostRecordsWhere,
                      {zone_id, host, "*." + host})
               .changed > 0;
}

void Store::bump_serial(const std::string& zone) {
    bump_serial(zone, zone_ids_.at(zone));
}

void Store::bump_serial(const std::string& zone, std::int64_t zone_id) {
    auto locked = locked_soas_.find(zone);
    std::pair<std::int64_t, std::string> row;
    if (locked != locked_soas_.end()) {
        row = locked->second;
    } else {
        const SqlRows r = db_->query(std::string("SELECT id, content FROM records") + kZoneSoaWhere,
                                     {zone, zone_id});
        if (r.empty())
            throw StoreError("zone " + zone + " has no SOA record");
        row = {r.integer(0, 0), r.text(0, 1)};
    }
    const std::optional<std::string> soa = next_serial(row.second);
    if (!soa)
        throw StoreError("zone " + zone + " has a malformed SOA record");
    db_->write("UPDATE records SET content = ?1 WHERE id = ?2", {*soa, row.first});
    if (locked != locked_soas_.end())
        locked->second.second = *soa;
}

std::optional<Host> Store::host(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Host> found = hosts_where(" WHERE name = ?1", {name});
    return found.empty() ? std::nullopt : std::optional(std::move(found.front()));
}

std::vector<Host> Store::hosts(const std::vector<std::string>& names) {
    std::lock_guard<std::mutex> lock(mutex_);
    constexpr std::size_t kChunk = 32; // one prepared statement: short chunks repeat a name
    const std::string clause = " WHERE name IN (" + placeholders(1, kChunk) + ")";
    std::vector<Host> out;
    for (std::size_t first = 0; first < names.size(); first += kChunk) {
        const std::vector<SqlValue> values = chunk_values(names, first, kChunk);
        std::vector<Host> some = hosts_where(clause, values);
        out.insert(out.end(), some.begin(), some.end());
    }
    return out;
}

// A page of the hosts: those with a row (updated, or moved from an older
// layout) and those an account owns without one yet, which have their name
// and account alone. Each kind is read a page long by its own index, and
// the two merged by name.
std::vector<Host> Store::hosts_page(const PageQuery& page) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<SqlValue> values;
    std::map<std::string, Host> merged;
    for (Host& h : hosts_where(page_where("name", page, &values), values))
        merged.emplace(h.name, std::move(h));
    values.clear();
    const SqlRows owned = db_->query(
        "SELECT host, account FROM account_hosts" + page_where("host", page, &values), values);
    for (std::size_t i = 0; i < owned.rows.size(); ++i) {
        Host h;
        h.name = owned.text(i, 0);
        h.account = owned.text(i, 1);
        merged.emplace(h.name, std::move(h)); // a row, where there is one, stays
    }
    std::vector<Host> out;
    for (auto& [name, h] : merged) {
        if (out.size() == std::min(page.limit, kMaxPage))
            break;
        out.push_back(std::move(h));
    }
    return out;
}

// The hosts rows that `clause` (WHERE ..., ORDER BY ...) selects.
std::vector<Host> Store::hosts_where(const std::string& clause,
                                     const std::vector<SqlValue>& values) {
    std::vector<Host> out;
    const SqlRows r = db_->query(std::string(kSelectHost) + clause, values);
    for (std::size_t i = 0; i < r.rows.size(); ++i)
        out.push_back(host_at(r, i));
    return out;
}

// What the host becomes under the update, beside what it was.
Host Store::merge(const Update& u, const std::optional<Host>& old, std::int64_t now) {
    if (zone_id(u.zone) < 0)
        throw StoreError("zone " + u.zone + " is not in the database");
    Host h = old.value_or(Host{});
    h.name = u.host;
    h.account = u.account;
    h.zone = u.zone;
    if (u.ipv4)
        h.ipv4 = *u.ipv4;
    if (u.ipv6)
        h.ipv6 = *u.ipv6;
    if (u.wildcard)
        h.wildcard = *u.wildcard;
    if (u.mx)
        h.mx = *u.mx;
    if (u.backmx)
        h.backmx = *u.backmx;
    // A follower moved by its router's prefix stays as online as it was.
    h.offline = u.router.empty() ? u.offline : old && old->offline;
    h.updated_at = old ? old->updated_at : now;
    return h;
}

// Whether `h` is stored as it is over `old`: its row, and the records
// it should have in its zone (`present`).
bool Store::up_to_date(const std::optional<Host>& old, const Host& h,
                       const std::vector<PublishedRow>& present) {
    return old && same_settings(*old, h) && old->zone == h.zone &&
           PublishedRow::same(present, host_records(h, ttl_), false);
}

// What update `u` makes of its host over what `batch` read: the answer, and
// (when the account still owns the host, and `u` is no probe) the host as it
// becomes in *host and whether it is stored so already in *current.
Applied Store::judge(const Prefetched& batch, const Update& u, std::int64_t now, Host* host,
                     bool* current) {
    Applied applied;
    const std::optional<Host> old = batch.host(u.host);
    // The account may have lost the host since the request was
    // authenticated: a host once withdrawn stays withdrawn.
    auto owner = batch.owners.find(u.host);
    applied.owned = owner != batch.owners.end() && owner->second == u.account;
    applied.elsewhere = owner != batch.owners.end() && !applied.owned;
    *current = true;
    if (!applied.owned || u.probe)
        return applied;
    *host = merge(u, old, now);
    applied.changed = !old || !same_settings(*old, *host);
    applied.ipv4 = host->ipv4;
    applied.ipv6 = host->ipv6;
    *current = up_to_date(old, *host, rows_of(batch, *host));
    return applied;
}

// Reads only, without a lock and outside a transaction (each statement
// sees what is committed; two round trips fewer): the answers when no
// update changes anything. A hint: a batch with a change is decided again
// under the write lock.
std::optional<std::vector<Applied>> Store::unchanged(const std::vector<Update>& updates) {
    std::vector<Applied> out;
    const Prefetched batch = prefetch(updates);
    const Work work = plan_work(batch, updates);
    if (!work.prefixes.empty())
        return std::nullopt;
    for (std::size_t i = 0; i < work.updates.size(); ++i) {
        Host h;
        bool current = true;
        Applied applied;
        applied.refused = work.refused_at(i);
        if (!applied.refused)
            applied = judge(batch, work.updates[i], 0, &h, &current);
        if (!current)
            return std::nullopt;
        if (i < updates.size())
            out.push_back(applied);
    }
    return out;
}

std::unique_lock<std::mutex> Store::lock_for_request() {
    requests_waiting_.fetch_add(1, std::memory_order_relaxed);
    std::unique_lock<std::mutex> lock(mutex_);
    requests_waiting_.fetch_sub(1, std::memory_order_relaxed);
    return lock;
}

// Writes one update of a batch, if it changes anything: the host's row, its
// history, its records (withdrawn from a zone it left), and the zones whose
// serial must move.
Applied Store::write_update(Prefetched& batch, const Update& u, std::int64_t now,
                            std::set<std::string>* changed_zones) {
    Host h;
    bool current = true;
    const std::optional<Host> old = batch.host(u.host);
    const Applied applied = judge(batch, u, now, &h, &current);
    if (current)
        return applied;
    const std::vector<PublishedRow> present = rows_of(batch, h);
    if (applied.changed) {
        h.updated_at = now;
        HistoryEntry entry = change_of(old, h, u.origin);
        if (!u.router.empty())
            entry.what = "prefix";
        add_history(batch, h.name, now, entry);
    }
    save_host(h);
    batch.hosts[h.name] = h;
    batch.rewritten.insert(h.name);
    if (old && old->zone != h.zone && zone_ids_.count(old->zone)) {
        // Moved to a more specific zone: withdraw it from the old one.
        Host gone;
        gone.name = h.name;
        gone.zone = old->zone;
        if (publish(gone)) {
            changed_zones->insert(gone.zone);
            changed_name(h.name, gone.zone, old->wildcard);
        }
    }
    if (publish(h, present)) {
        changed_zones->insert(h.zone);
        changed_name(h.name, h.zone, h.wildcard || (old && old->wildcard));
    }
    return applied;
}

std::vector<Applied> Store::apply(const std::vector<Update>& updates, std::int64_t now) {
    const std::unique_lock<std::mutex> lock = lock_for_request();
    // Most updates repeat what is stored: when all of them do, nothing is
    // written and nothing synced. Where an empty write costs a lock and a
    // commit, a read without them finds that out first, unless the last
    // batch changed something: changes come in runs (a busy server, a
    // network renumbered), and the read would cost each of them as much.
    // A batch that then changes nothing writes nothing all the same.
    if (!db_->empty_writes_are_free() && !last_batch_changed_) {
        if (std::optional<std::vector<Applied>> same = unchanged(updates))
            return *same;
    }
    last_batch_changed_ = false;
    std::vector<Applied> out;
    transaction(Begin::Write, [&] {
        lock_zones();
        Prefetched batch = prefetch(updates);
        const Work work = plan_work(batch, updates);
        std::set<std::string> changed_zones;
        for (std::size_t i = 0; i < work.updates.size(); ++i) {
            Applied applied;
            applied.refused = work.refused_at(i);
            if (!applied.refused)
                applied = write_update(batch, work.updates[i], now, &changed_zones);
            if (i < updates.size())
                out.push_back(applied);
        }
        save_prefixes(work.prefixes);
        for (const std::string& zone : changed_zones)
            bump_serial(zone);
        last_batch_changed_ = !batch.rewritten.empty() || !work.prefixes.empty();
        return true;
    });
    return out;
}

} // namespace tovix::server
